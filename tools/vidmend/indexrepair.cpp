#include "indexrepair.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vidmend {

using isobmff::box_type;
using isobmff::Chunk;
using isobmff::Reader;
using isobmff::Sample;
using isobmff::Writer;
using IsoBox = isobmff::Box;

// The repaired file as it is written, with the progress of its bytes.
class OutputFile
{
public:
    OutputFile(const std::string& path, const IndexRepair::Progress& progress)
        : m_file(std::fopen(path.c_str(), "wb"))
        , m_path(path)
        , m_progress(progress)
    {
        if (!m_file)
            m_error = "cannot create " + path + ": " + std::strerror(errno);
    }
    ~OutputFile()
    {
        if (m_file)
            std::fclose(m_file);
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void expect(uint64_t total) { m_total = total; }
    uint64_t position() const { return m_written; }
    bool good() const { return m_error.empty() && !m_stopped; }
    bool stopped() const { return m_stopped; }

    void put(const uint8_t* data, uint64_t size)
    {
        // Large copies go in steps, so that a stop is heard and the window sees progress.
        constexpr uint64_t k_step = 8u << 20;
        while (size > 0 && good()) {
            const uint64_t n = std::min(size, k_step);
            if (std::fwrite(data, 1, size_t(n), m_file) != n)
                m_error = "cannot write " + m_path + ": " + std::strerror(errno);
            data += n;
            size -= n;
            m_written += n;
            if (m_progress && !m_progress(m_written, std::max(m_total, m_written)))
                m_stopped = true;
        }
    }
    void put(const std::vector<uint8_t>& bytes) { put(bytes.data(), bytes.size()); }

    bool close(std::string& error)
    {
        if (m_file && std::fclose(m_file) != 0 && m_error.empty())
            m_error = "cannot finish " + m_path + ": " + std::strerror(errno);
        m_file = nullptr;
        error = m_error;
        return good();
    }

private:
    FILE* m_file;
    std::string m_path;
    IndexRepair::Progress m_progress;
    uint64_t m_total = 0;
    uint64_t m_written = 0;
    std::string m_error;
    bool m_stopped = false;
};

namespace {

uint64_t rescale_up(uint64_t value, uint32_t from, uint32_t to)
{
    if (from == 0)
        return 0;
    return uint64_t(((unsigned __int128)value * to + from - 1) / from);
}

// 8.6.6 edit list entries.
struct Edit
{
    uint64_t duration = 0; // movie time scale
    int64_t media_time = 0;
    uint32_t rate = 0x10000;
};

bool read_edits(const IsoBox& trak, std::vector<Edit>& edits)
{
    const std::optional<IsoBox> edts = isobmff::child(trak, box_type("edts"));
    const std::optional<IsoBox> elst = edts ? isobmff::child(*edts, box_type("elst")) : std::nullopt;
    if (!elst)
        return false;
    Reader r(elst->payload(), elst->payload_size());
    const bool wide = (r.u32() >> 24) == 1;
    const uint32_t count = r.u32();
    for (uint32_t i = 0; i < count && r.ok(); ++i) {
        Edit e;
        e.duration = r.uint(wide);
        e.media_time = wide ? int64_t(r.u64()) : int64_t(int32_t(r.u32()));
        e.rate = r.u32();
        if (r.ok())
            edits.push_back(e);
    }
    return true;
}

void write_edits(Writer& w, const std::vector<Edit>& edits)
{
    const bool wide = std::any_of(edits.begin(), edits.end(), [](const Edit& e) {
        return e.duration > UINT32_MAX || e.media_time > INT32_MAX || e.media_time < INT32_MIN;
    });
    const size_t edts = w.begin(box_type("edts"));
    const size_t elst = w.begin_full(box_type("elst"), wide ? 1 : 0, 0);
    w.u32(uint32_t(edits.size()));
    for (const Edit& e : edits) {
        w.uint(e.duration, wide);
        w.uint(uint64_t(e.media_time), wide);
        w.u32(e.rate);
    }
    w.end(elst);
    w.end(edts);
}

// The edits up to movie time `end`.
uint64_t clamp_edits(std::vector<Edit>& edits, uint64_t end)
{
    uint64_t at = 0;
    size_t n = 0;
    for (; n < edits.size() && at < end; ++n) {
        edits[n].duration = std::min(edits[n].duration, end - at);
        at += edits[n].duration;
    }
    edits.resize(n);
    return at;
}

// 8.6.4 sample dependency types: one byte a sample.
void write_dependencies(Writer& w, const IsoBox& sdtp, size_t samples)
{
    const size_t start = w.begin(box_type("sdtp"));
    w.bytes(sdtp.payload(), std::min(sdtp.payload_size(), 4 + samples));
    w.end(start);
}

// 8.9.2 sample to group: runs of samples, cut at `samples`.
void write_groups(Writer& w, const IsoBox& sbgp, size_t samples)
{
    Reader r(sbgp.payload(), sbgp.payload_size());
    const uint32_t head = r.u32();
    const uint32_t grouping = r.u32();
    const uint32_t parameter = (head >> 24) == 1 ? r.u32() : 0;
    const uint32_t count = r.u32();
    const size_t start = w.begin(box_type("sbgp"));
    w.u32(head);
    w.u32(grouping);
    if ((head >> 24) == 1)
        w.u32(parameter);
    const size_t count_at = w.size();
    w.u32(0);
    uint32_t written = 0;
    for (uint32_t i = 0; i < count && samples > 0 && r.ok(); ++i) {
        const uint32_t run = r.u32();
        const uint32_t group = r.u32();
        const uint32_t n = uint32_t(std::min<size_t>(run, samples));
        w.u32(n);
        w.u32(group);
        samples -= n;
        ++written;
    }
    w.put32(count_at, written);
    w.end(start);
}

uint64_t read_movie_duration(const IsoBox& mvhd)
{
    Reader r(mvhd.payload(), mvhd.payload_size());
    const bool wide = (r.u32() >> 24) == 1;
    r.skip(wide ? 20 : 12);
    return r.uint(wide);
}

// Movie boxes that describe media beyond a cut: kept as free space of the same
// size, so that the positions the fragments name stay true.
bool stale_after_cut(uint32_t type)
{
    return type == fourcc("sidx") || type == fourcc("mfra") || type == fourcc("mfro");
}

bool audio_or_video(uint32_t handler)
{
    return handler == fourcc("vide") || handler == fourcc("soun");
}

} // namespace

IndexRepair::IndexRepair(const uint8_t* file, uint64_t size, const FileLayout& layout)
    : m_file(file)
    , m_size(size)
    , m_layout(layout)
    , m_index(read_movie_index(file, layout))
{
    if (!m_index)
        return;
    m_plan.resize(m_index->tracks.size());
    bool movie_cut = false;
    for (size_t t = 0; t < m_plan.size(); ++t) {
        const std::vector<Sample>& samples = m_index->tracks[t].samples;
        TrackPlan& plan = m_plan[t];
        plan.listed = samples.size();
        while (plan.kept < samples.size() && where(samples[plan.kept]).inside) {
            plan.media_end += samples[plan.kept].duration;
            plan.kept_bytes += samples[plan.kept].size;
            ++plan.kept;
        }
        plan.moov_kept = size_t(plan.kept);
        movie_cut = movie_cut || plan.kept < plan.listed;
    }
    m_plain = !m_index->fragmented || movie_cut;
    plan_fragments();

    uint64_t listed = 0;
    bool all_kept = true;
    for (const TrackPlan& plan : m_plan) {
        listed += plan.listed;
        all_kept = all_kept && plan.kept == plan.listed;
    }
    // An index that lists nothing (a writer that fills it in at the end) tells nothing.
    if (listed == 0)
        return;
    const bool box_cut =
        std::any_of(layout.boxes.begin(), layout.boxes.end(), [](const Box& box) { return box.clamped; });
    m_state = all_kept && !box_cut ? IndexState::Whole : IndexState::Cut;
}

IndexRepair::Span IndexRepair::where(const Sample& s) const
{
    Span span;
    if (s.offset > m_size || s.size > m_size - s.offset)
        return span;
    const std::vector<ByteRange>& media = m_layout.media;
    if (media.empty()) {
        span.inside = span.whole_box = true;
        return span;
    }
    auto it = std::upper_bound(media.begin(), media.end(), s.offset,
                               [](uint64_t pos, const ByteRange& r) { return pos < r.begin; });
    if (it == media.begin())
        return span;
    --it;
    span.inside = s.offset + s.size <= it->end;
    span.whole_box = span.inside && !it->cut;
    return span;
}

int IndexRepair::track_of(uint32_t id) const
{
    for (size_t t = 0; t < m_index->tracks.size(); ++t) {
        if (m_index->tracks[t].id == id)
            return int(t);
    }
    return -1;
}

bool IndexRepair::fragment_whole(const IndexFragment& f) const
{
    for (const isobmff::TrackFragment& traf : f.trafs) {
        for (const isobmff::TrackRun& run : traf.runs) {
            for (const Sample& s : run.samples) {
                if (!where(s).whole_box)
                    return false;
            }
        }
    }
    return true;
}

void IndexRepair::plan_fragments()
{
    bool past_cut = m_plain; // a cut inside the movie box's own media leaves no fragment
    for (const IndexFragment& f : m_index->fragments) {
        const bool whole = !past_cut && fragment_whole(f);
        const bool cut_here = !past_cut && !whole;
        if (cut_here) {
            m_has_cut = true;
            m_cut_kept.assign(f.trafs.size(), {});
        }
        for (size_t i = 0; i < f.trafs.size(); ++i) {
            const isobmff::TrackFragment& traf = f.trafs[i];
            const int t = track_of(traf.track_id);
            if (t < 0)
                continue;
            TrackPlan& plan = m_plan[size_t(t)];
            uint64_t time = traf.decode_time.value_or(plan.media_end);
            bool stop = past_cut;
            for (const isobmff::TrackRun& run : traf.runs) {
                plan.listed += run.samples.size();
                size_t kept = 0;
                while (!stop && kept < run.samples.size() && (whole || where(run.samples[kept]).inside)) {
                    time += run.samples[kept].duration;
                    plan.kept_bytes += run.samples[kept].size;
                    ++kept;
                }
                stop = stop || kept < run.samples.size();
                plan.kept += kept;
                if (cut_here)
                    m_cut_kept[i].push_back(kept);
            }
            if (!past_cut)
                plan.media_end = std::max(plan.media_end, time);
        }
        if (whole)
            ++m_complete;
        past_cut = past_cut || cut_here;
    }
    for (const Box& box : m_layout.boxes)
        m_header_cut = m_header_cut || (box.type == fourcc("moof") && box.clamped);
}

uint64_t IndexRepair::kept() const
{
    uint64_t n = 0;
    for (const TrackPlan& plan : m_plan)
        n += plan.kept;
    return n;
}

bool IndexRepair::write(const std::string& path, const Progress& progress, std::string& error)
{
    OutputFile out(path, progress);
    const bool written = m_plain ? write_plain(out, error) : write_fragmented(out, error);
    std::string closing;
    const bool closed = out.close(closing);
    m_stopped = out.stopped();
    if (error.empty())
        error = closing;
    return written && closed;
}

// A file whose movie box lists its samples: the box rebuilt with the tables
// cut where the file ends, then the media those tables name, in one media box.
bool IndexRepair::write_plain(OutputFile& out, std::string& error)
{
    uint64_t begin = UINT64_MAX, end = 0;
    for (size_t t = 0; t < m_plan.size(); ++t) {
        const std::vector<Sample>& samples = m_index->tracks[t].samples;
        for (size_t i = 0; i < m_plan[t].moov_kept; ++i) {
            begin = std::min(begin, samples[i].offset);
            end = std::max(end, samples[i].offset + samples[i].size);
        }
    }
    if (begin > end) {
        error = "no sample of the index lies in the file";
        return false;
    }
    // What stands before the media (the file type box) comes along; free space does not.
    std::vector<uint8_t> head;
    for (const Box& box : m_layout.boxes) {
        if (box.type == fourcc("mdat"))
            break;
        if (!box.clamped && box.type != fourcc("moov") && box.type != fourcc("free") && box.type != fourcc("skip") &&
            box.type != fourcc("wide"))
            head.insert(head.end(), m_file + box.offset, m_file + box.end);
    }
    const uint64_t media = end - begin;
    const bool large = media + 8 > UINT32_MAX;
    Writer mdat;
    mdat.u32(large ? 1 : uint32_t(media + 8));
    mdat.u32(box_type("mdat"));
    if (large)
        mdat.u64(media + 16);

    // The chunk offsets move with the movie box's new size, which may grow
    // again if they then need 64 bits.
    std::vector<uint8_t> moov;
    for (size_t size = 0; moov.empty() || moov.size() != size;) {
        size = moov.size();
        moov = plain_moov(int64_t(head.size() + size + mdat.size()) - int64_t(begin));
    }
    out.expect(head.size() + moov.size() + mdat.size() + media);
    out.put(head);
    out.put(moov);
    out.put(mdat.data());
    out.put(m_file + begin, media);
    return out.good();
}

std::vector<uint8_t> IndexRepair::plain_moov(int64_t shift) const
{
    const uint32_t movie_scale = m_index->timescale;
    const IsoBox moov = in_memory(m_file, m_layout.boxes[m_index->moov]);
    std::vector<IsoBox> traks;
    for (const IsoBox& box : isobmff::children(moov)) {
        if (box.type == box_type("trak"))
            traks.push_back(box);
    }

    // Each track plays to the end of its last sample kept, in presentation
    // order, or less if its edits ended sooner.
    struct Timing
    {
        std::vector<Edit> edits;
        bool has_edits = false;
        uint64_t media = 0;
        uint64_t movie = 0;
    };
    std::vector<Timing> timing(traks.size());
    uint64_t movie_end = 0, any_end = 0;
    for (size_t t = 0; t < traks.size(); ++t) {
        const IndexTrack& track = m_index->tracks[t];
        Timing& tm = timing[t];
        tm.has_edits = read_edits(traks[t], tm.edits);
        const size_t kept = m_plan[t].moov_kept;
        uint64_t shown_end = 0;
        for (size_t i = 0; i < kept; ++i) {
            const int64_t end = int64_t(tm.media) + track.samples[i].cts + track.samples[i].duration;
            shown_end = std::max<uint64_t>(shown_end, uint64_t(std::max<int64_t>(0, end)));
            tm.media += track.samples[i].duration;
        }
        if (kept < track.samples.size()) {
            // Edits of media that is gone go; the one across the cut ends there.
            size_t n = 0;
            for (; n < tm.edits.size(); ++n) {
                Edit& e = tm.edits[n];
                if (e.media_time < 0)
                    continue;
                if (uint64_t(e.media_time) >= shown_end)
                    break;
                const uint64_t left = rescale_up(shown_end - uint64_t(e.media_time), track.timescale, movie_scale);
                if (e.duration >= left) {
                    e.duration = left;
                    ++n;
                    break;
                }
            }
            tm.edits.resize(n);
        }
        if (kept == 0)
            tm.edits.clear();
        tm.movie = 0;
        for (const Edit& e : tm.edits)
            tm.movie += e.duration;
        if (!tm.has_edits)
            tm.movie = rescale_up(tm.media, track.timescale, movie_scale);
        any_end = std::max(any_end, tm.movie);
        if (audio_or_video(track.handler))
            movie_end = std::max(movie_end, tm.movie);
    }
    // A timecode or text track that lasts the whole recording ends with the pictures and sound kept.
    if (movie_end == 0)
        movie_end = any_end;
    for (Timing& tm : timing) {
        tm.movie = std::min(tm.movie, movie_end);
        clamp_edits(tm.edits, movie_end);
    }

    Writer w;
    const size_t start = w.begin(box_type("moov"));
    size_t t = 0;
    for (const IsoBox& box : isobmff::children(moov)) {
        if (box.type == box_type("mvhd")) {
            isobmff::write_with_duration(w, box, 4, movie_end);
        } else if (box.type == box_type("trak") && t < traks.size()) {
            const size_t index = t++;
            const Timing& tm = timing[index];
            isobmff::TrackRewrite rewrite;
            rewrite.movie_duration = tm.movie;
            rewrite.media_duration = tm.media;
            rewrite.sample_table = [&](Writer& out, const IsoBox& stbl) {
                const IndexTrack& track = m_index->tracks[index];
                const size_t kept = m_plan[index].moov_kept;
                std::vector<Sample> samples(track.samples.begin(), track.samples.begin() + ptrdiff_t(kept));
                std::vector<Chunk> chunks;
                for (size_t counted = 0, c = 0; counted < kept && c < track.chunks.size(); ++c) {
                    Chunk chunk = track.chunks[c];
                    chunk.samples = uint32_t(std::min<size_t>(chunk.samples, kept - counted));
                    chunk.offset = uint64_t(int64_t(chunk.offset) + shift);
                    counted += chunk.samples;
                    chunks.push_back(chunk);
                }
                const size_t table = out.begin(box_type("stbl"));
                if (const std::optional<IsoBox> stsd = isobmff::child(stbl, box_type("stsd")))
                    out.copy(*stsd);
                isobmff::write_sample_tables(out, samples, chunks);
                // Tables of one entry a sample are cut with the samples; others that
                // would need more than that (sub-samples, encryption) do not come along.
                for (const IsoBox& part : isobmff::children(stbl)) {
                    if (part.type == box_type("sdtp"))
                        write_dependencies(out, part, kept);
                    else if (part.type == box_type("sbgp"))
                        write_groups(out, part, kept);
                    else if (part.type == box_type("sgpd"))
                        out.copy(part);
                }
                out.end(table);
            };
            rewrite.other = [&](Writer& out, const IsoBox& part) {
                if (part.type != box_type("edts"))
                    return false;
                if (!tm.edits.empty())
                    write_edits(out, tm.edits);
                return true;
            };
            isobmff::write_track(w, box, rewrite);
        } else if (box.type != box_type("mvex")) {
            // Fragments after a cut in the movie's own media are gone with it.
            w.copy(box);
        }
    }
    w.end(start);
    return w.data();
}

uint64_t IndexRepair::movie_duration() const
{
    uint64_t end = 0, any = 0;
    for (size_t t = 0; t < m_plan.size(); ++t) {
        const IndexTrack& track = m_index->tracks[t];
        const uint64_t d = rescale_up(m_plan[t].media_end, track.timescale, m_index->timescale);
        any = std::max(any, d);
        if (audio_or_video(track.handler))
            end = std::max(end, d);
    }
    return end ? end : any;
}

// A fragmented file: everything up to the fragment the cut falls in as it
// is, that fragment rebuilt with the samples of it that the file holds.
bool IndexRepair::write_fragmented(OutputFile& out, std::string& error)
{
    size_t stop = m_layout.boxes.size();
    if (m_has_cut)
        stop = m_index->fragments[m_complete].box;
    for (size_t i = 0; i < stop; ++i) {
        if (m_layout.boxes[i].clamped) {
            stop = i;
            break;
        }
    }
    uint64_t total = 0;
    for (size_t i = 0; i < stop; ++i)
        total += m_layout.boxes[i].end - m_layout.boxes[i].offset;
    out.expect(total);

    const std::vector<uint8_t> moov = fragmented_moov();
    for (size_t i = 0; i < stop && out.good(); ++i) {
        const Box& box = m_layout.boxes[i];
        if (i == m_index->moov) {
            out.put(moov);
        } else if (stale_after_cut(box.type)) {
            Writer free;
            free.bytes(m_file + box.offset, box.header);
            free.put32(4, box_type("free"));
            out.put(free.data());
            out.put(m_file + box.offset + box.header, box.end - box.offset - box.header);
        } else {
            out.put(m_file + box.offset, box.end - box.offset);
        }
    }
    if (m_has_cut && out.good()) {
        uint64_t begin = 0, end = 0;
        const std::vector<uint8_t> fragment = cut_fragment(begin, end);
        if (!fragment.empty()) {
            out.expect(total + fragment.size() + (end - begin));
            out.put(fragment);
            out.put(m_file + begin, end - begin);
        }
    }
    if (out.position() == 0)
        error = "nothing of the file can be kept";
    return out.good() && out.position() > 0;
}

// Durations in the movie box, where it gives any, changed in place: a box of
// another size would move every fragment after it.
std::vector<uint8_t> IndexRepair::fragmented_moov() const
{
    const Box& box = m_layout.boxes[m_index->moov];
    const std::vector<uint8_t> original(m_file + box.offset, m_file + box.end);
    const IsoBox moov = in_memory(m_file, box);
    const std::optional<IsoBox> mvhd = isobmff::child(moov, box_type("mvhd"));
    if (!mvhd || read_movie_duration(*mvhd) == 0)
        return original; // the movie leaves its length to the fragments
    const uint64_t movie = movie_duration();
    Writer w;
    const size_t start = w.begin(box_type("moov"));
    size_t t = 0;
    for (const IsoBox& part : isobmff::children(moov)) {
        if (part.type == box_type("mvhd")) {
            isobmff::write_with_duration(w, part, 4, movie);
        } else if (part.type == box_type("trak") && t < m_plan.size()) {
            const IndexTrack& track = m_index->tracks[t];
            isobmff::TrackRewrite rewrite;
            rewrite.media_duration = m_plan[t].media_end;
            rewrite.movie_duration =
                std::min(movie, rescale_up(rewrite.media_duration, track.timescale, m_index->timescale));
            rewrite.sample_table = [](Writer& out, const IsoBox& stbl) { out.copy(stbl); };
            isobmff::write_track(w, part, rewrite);
            ++t;
        } else if (part.type == box_type("mvex")) {
            // 8.8.2 movie extends header: the whole length of the fragmented movie.
            const size_t mvex = w.begin(box_type("mvex"));
            for (const IsoBox& m : isobmff::children(part)) {
                if (m.type != box_type("mehd")) {
                    w.copy(m);
                    continue;
                }
                const bool wide = m.payload_size() >= 12 && m.payload()[0] == 1;
                const size_t mehd = w.begin_full(box_type("mehd"), wide ? 1 : 0, 0);
                w.uint(movie, wide);
                w.end(mehd);
            }
            w.end(mvex);
        } else {
            w.copy(part);
        }
    }
    w.end(start);
    return w.size() == original.size() ? w.data() : original;
}

// The fragment the cut falls in, its header rebuilt with every position
// explicit and relative to it: the samples kept, then the media box header.
std::vector<uint8_t> IndexRepair::cut_fragment(uint64_t& data_begin, uint64_t& data_end) const
{
    const IndexFragment& fragment = m_index->fragments[m_complete];
    data_begin = UINT64_MAX;
    data_end = 0;
    for (size_t i = 0; i < fragment.trafs.size(); ++i) {
        for (size_t r = 0; r < m_cut_kept[i].size(); ++r) {
            const std::vector<Sample>& samples = fragment.trafs[i].runs[r].samples;
            for (size_t k = 0; k < m_cut_kept[i][r]; ++k) {
                data_begin = std::min(data_begin, samples[k].offset);
                data_end = std::max(data_end, samples[k].offset + samples[k].size);
            }
        }
    }
    if (data_begin > data_end)
        return {};

    const IsoBox moof = in_memory(m_file, m_layout.boxes[fragment.box]);
    Writer w;
    std::vector<std::pair<size_t, uint64_t>> data_offsets; // where each run's offset goes, and its first sample
    const size_t start = w.begin(box_type("moof"));
    bool trafs_written = false;
    for (const IsoBox& part : isobmff::children(moof)) {
        if (part.type != box_type("traf")) {
            w.copy(part);
            continue;
        }
        if (trafs_written)
            continue;
        trafs_written = true;
        for (size_t i = 0; i < fragment.trafs.size(); ++i) {
            const isobmff::TrackFragment& traf = fragment.trafs[i];
            size_t kept = 0;
            for (size_t n : m_cut_kept[i])
                kept += n;
            if (kept == 0 || track_of(traf.track_id) < 0)
                continue;
            const size_t traf_at = w.begin(box_type("traf"));
            // 8.8.7: positions from the start of this header, the sample description named.
            const size_t tfhd = w.begin_full(box_type("tfhd"), 0, 0x020000 | 0x2);
            w.u32(traf.track_id);
            w.u32(traf.description);
            w.end(tfhd);
            if (traf.decode_time) {
                const size_t tfdt = w.begin_full(box_type("tfdt"), 1, 0);
                w.u64(*traf.decode_time);
                w.end(tfdt);
            }
            for (size_t r = 0; r < m_cut_kept[i].size(); ++r) {
                const size_t n = m_cut_kept[i][r];
                if (n == 0)
                    continue;
                const isobmff::TrackRun& run = traf.runs[r];
                const auto first = run.samples.begin(), last = run.samples.begin() + ptrdiff_t(n);
                const bool offsets = std::any_of(first, last, [](const Sample& s) { return s.cts != 0; });
                const bool negative = std::any_of(first, last, [](const Sample& s) { return s.cts < 0; });
                // 8.8.8: data offset, then duration, size, flags and composition offset of each sample.
                const size_t trun = w.begin_full(box_type("trun"), negative ? 1 : 0,
                                                 0x1 | 0x100 | 0x200 | 0x400 | (offsets ? 0x800 : 0));
                w.u32(uint32_t(n));
                data_offsets.emplace_back(w.size(), run.samples.front().offset);
                w.u32(0);
                for (size_t k = 0; k < n; ++k) {
                    w.u32(run.samples[k].duration);
                    w.u32(run.samples[k].size);
                    w.u32(run.flags[k]);
                    if (offsets)
                        w.u32(uint32_t(run.samples[k].cts));
                }
                w.end(trun);
            }
            w.end(traf_at);
        }
    }
    w.end(start);
    const uint64_t media = data_end - data_begin;
    const bool large = media + 8 > UINT32_MAX;
    const uint64_t header = large ? 16 : 8;
    for (const auto& [at, offset] : data_offsets)
        w.put32(at, uint32_t(w.size() + header + (offset - data_begin)));
    w.u32(large ? 1 : uint32_t(media + 8));
    w.u32(box_type("mdat"));
    if (large)
        w.u64(media + 16);
    return w.data();
}

void IndexRepair::summarise(Summary& s) const
{
    s.payload = m_layout.media_bytes();
    s.used = 0;
    for (const TrackPlan& plan : m_plan)
        s.used += plan.kept_bytes;
    s.skipped = 0;
    s.dropped = s.payload > s.used ? s.payload - s.used : 0;
    s.clock = "the times of the file's own index";
    double video = -1, audio = -1;
    char line[256];
    for (size_t t = 0; t < m_plan.size(); ++t) {
        const IndexTrack& track = m_index->tracks[t];
        const TrackPlan& plan = m_plan[t];
        TrackSummary ts;
        ts.kind = track.handler == fourcc("vide")   ? "video"
                  : track.handler == fourcc("soun") ? "audio"
                                                    : fourcc_text(track.handler);
        ts.codec = fourcc_text(track.format);
        ts.samples = plan.kept;
        ts.seconds = track.timescale ? double(plan.media_end) / track.timescale : 0;
        if (ts.kind == "video" && video < 0)
            video = ts.seconds;
        if (ts.kind == "audio")
            audio = std::max(audio, ts.seconds);
        s.tracks.push_back(ts);
        if (plan.kept < plan.listed) {
            std::snprintf(line, sizeof line,
                          "track %zu: %llu of the %llu samples its index lists lie past the end of the file and "
                          "were dropped",
                          t + 1, (unsigned long long)(plan.listed - plan.kept), (unsigned long long)plan.listed);
            s.notes.push_back(line);
        }
    }
    s.mismatch = video >= 0 && audio >= 0 ? video - audio : 0;
    if (m_plain)
        std::snprintf(line, sizeof line, "rebuilt from the file's own index, which lies before its media");
    else
        std::snprintf(line, sizeof line, "rebuilt from the file's own fragments: %zu kept whole%s", m_complete,
                      m_has_cut ? ", the one the file ends in kept in part" : "");
    if (kept() > 0)
        s.notes.push_back(line);
    if (m_header_cut)
        s.notes.push_back("the file ends inside a fragment header: the samples of that fragment are lost");
}

} // namespace vidmend
