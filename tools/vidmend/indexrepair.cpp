#include "indexrepair.h"

#include "fragmentheader.h"

#include <algorithm>
#include <cstdio>
#include <functional>

namespace vidmend {

using isobmff::Chunk;
using isobmff::fourcc;
using isobmff::Reader;
using IsoSample = isobmff::Sample;
using isobmff::Writer;
using IsoBox = isobmff::Box;

namespace {

uint64_t rescale_up(uint64_t value, uint32_t from, uint32_t to)
{
    if (from == 0)
        return 0;
    return uint64_t(((unsigned __int128)value * to + from - 1) / from);
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

// Copies a movie box with `duration` in its header, each track box written
// by `track` (given its place among them) and the fragments' 'mvex' by
// `extends`, or dropped without it.
std::vector<uint8_t> write_movie(const IsoBox& moov, uint64_t duration,
                                 const std::function<void(Writer&, const IsoBox&, size_t)>& track,
                                 const std::function<void(Writer&, const IsoBox&)>& extends)
{
    Writer w;
    const size_t start = w.begin(fourcc("moov"));
    size_t t = 0;
    for (const IsoBox& box : isobmff::children(moov)) {
        if (box.type == fourcc("mvhd"))
            isobmff::write_with_duration(w, box, 4, duration);
        else if (box.type == fourcc("trak"))
            track(w, box, t++);
        else if (box.type == fourcc("mvex") && extends)
            extends(w, box);
        else if (box.type != fourcc("mvex"))
            w.copy(box);
    }
    w.end(start);
    return w.data();
}

} // namespace

IndexRepair::IndexRepair(const uint8_t* file, uint64_t size, const FileLayout& layout)
    : m_file(file)
    , m_size(size)
    , m_layout(layout)
    , m_index(read_movie_index(file, layout))
{
    if (!m_index || m_index->partial)
        return;
    m_plan.resize(m_index->tracks.size());
    bool movie_cut = false;
    for (size_t t = 0; t < m_plan.size(); ++t) {
        const std::vector<IsoSample>& samples = m_index->tracks[t].samples;
        TrackPlan& plan = m_plan[t];
        plan.listed = samples.size();
        while (plan.kept < samples.size() && where(samples[plan.kept]).inside) {
            plan.media_end += samples[plan.kept].duration;
            plan.kept_bytes += samples[plan.kept].size;
            ++plan.kept;
        }
        plan.moov_kept = size_t(plan.kept);
        plan.moov_end = plan.media_end;
        movie_cut = movie_cut || plan.kept < plan.listed;
    }
    m_plain = !m_index->fragmented || movie_cut;
    plan_fragments();
    if (m_plain)
        plan_tail();
    if (!m_plain) {
        // What no header describes: media after the last fragment's header and data.
        uint64_t described = m_layout.boxes[m_index->moov].end;
        for (const IndexFragment& f : m_index->fragments) {
            described = std::max(described, m_layout.boxes[f.box].end);
            for (const isobmff::TrackFragment& traf : f.trafs) {
                for (const isobmff::TrackRun& run : traf.runs) {
                    for (const IsoSample& sample : run.samples)
                        described = std::max(described, sample.offset + sample.size);
                }
            }
        }
        for (const ByteRange& range : m_layout.media) {
            if (range.begin >= described)
                m_undescribed.push_back(range);
        }
    }
    m_walked_count.assign(m_plan.size(), 0);

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
    m_state = all_kept && !box_cut && m_undescribed.empty() ? IndexState::Whole : IndexState::Cut;
}

IndexRepair::Span IndexRepair::where(const IsoSample& s) const
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
            for (const IsoSample& s : run.samples) {
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

void IndexRepair::plan_tail()
{
    // The index describes the file up to the end of the last sample it lists;
    // one that lists samples past the end of the file describes all of it.
    uint64_t described = 0;
    for (size_t t = 0; t < m_plan.size(); ++t) {
        const IndexTrack& track = m_index->tracks[t];
        if (!audio_or_video(track.handler))
            continue;
        if (m_plan[t].moov_kept < track.samples.size())
            return;
        for (const IsoSample& s : track.samples)
            described = std::max(described, s.offset + s.size);
    }
    if (described == 0)
        return;
    m_described = described;
    // Zeros a writer laid down ahead of its media hold nothing.
    for (const ByteRange& r : m_layout.media) {
        const uint64_t from = std::max(r.begin, described);
        if (from < r.end && std::any_of(m_file + from, m_file + r.end, [](uint8_t b) { return b != 0; }))
            m_undescribed.push_back({from, r.end, r.cut});
    }
    m_by_offset.resize(m_plan.size());
    for (size_t t = 0; t < m_plan.size(); ++t) {
        const std::vector<IsoSample>& samples = m_index->tracks[t].samples;
        for (size_t i = 0; i < samples.size(); ++i)
            m_by_offset[t].emplace_back(samples[i].offset, i);
        std::sort(m_by_offset[t].begin(), m_by_offset[t].end());
    }
    // Presentation times as libavformat gives them: media times less the first
    // edit's start, after any empty edit (8.6.6).
    const IsoBox moov = in_memory(m_file, m_layout.boxes[m_index->moov]);
    size_t t = 0;
    for (const IsoBox& trak : isobmff::children(moov)) {
        if (trak.type != fourcc("trak") || t >= m_plan.size())
            continue;
        std::vector<isobmff::Edit> edits;
        int64_t empty = 0;
        if (isobmff::read_edits(trak, edits)) {
            for (const isobmff::Edit& e : edits) {
                if (e.media_time >= 0) {
                    m_plan[t].shift = empty - e.media_time;
                    break;
                }
                empty += int64_t(isobmff::rescale(e.duration, m_index->timescale, m_index->tracks[t].timescale));
            }
        }
        ++t;
    }
}

long IndexRepair::listed_at(size_t t, uint64_t pos, uint32_t size) const
{
    const std::vector<std::pair<uint64_t, size_t>>& order = m_by_offset[t];
    const auto it = std::lower_bound(order.begin(), order.end(), std::make_pair(pos, size_t(0)));
    if (it == order.end() || it->first != pos || m_index->tracks[t].samples[it->second].size != size)
        return -1;
    return long(it->second);
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
        const std::vector<IsoSample>& samples = m_index->tracks[t].samples;
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
    // What the walk found follows the media the movie box lists.
    uint64_t walked = 0;
    for (const Walked& w : m_walked)
        walked += w.sample.size;
    const uint64_t media = end - begin;
    const bool large = media + walked + 8 > UINT32_MAX;
    Writer mdat;
    mdat.u32(large ? 1 : uint32_t(media + walked + 8));
    mdat.u32(fourcc("mdat"));
    if (large)
        mdat.u64(media + walked + 16);

    // The chunk offsets move with the movie box's new size, which may grow
    // again if they then need 64 bits.
    std::vector<uint8_t> moov;
    for (size_t size = 0; moov.empty() || moov.size() != size;) {
        size = moov.size();
        const uint64_t at = head.size() + size + mdat.size();
        moov = plain_moov(int64_t(at) - int64_t(begin), at + media);
    }
    out.expect(head.size() + moov.size() + mdat.size() + media + walked);
    out.put(head);
    out.put(moov);
    out.put(mdat.data());
    out.put(m_file + begin, media);
    for (const Walked& w : m_walked)
        out.put(m_file + w.sample.offset, w.sample.size);
    return out.good();
}

std::vector<IndexRepair::TrackTiming> IndexRepair::plain_timings(const std::vector<IsoBox>& traks,
                                                                 uint64_t& movie_end) const
{
    // Each track plays to the end of its last sample kept, in presentation
    // order, or less if its edits ended sooner.
    const uint32_t movie_scale = m_index->timescale;
    std::vector<TrackTiming> timing(traks.size());
    uint64_t any_end = 0;
    movie_end = 0;
    for (size_t t = 0; t < traks.size(); ++t) {
        const IndexTrack& track = m_index->tracks[t];
        TrackTiming& tm = timing[t];
        tm.has_edits = isobmff::read_edits(traks[t], tm.edits);
        const size_t kept = m_plan[t].moov_kept;
        const std::vector<IsoSample> samples = samples_of(t);
        uint64_t shown_end = 0;
        for (const IsoSample& s : samples) {
            const int64_t end = int64_t(tm.media) + s.cts + s.duration;
            shown_end = std::max<uint64_t>(shown_end, uint64_t(std::max<int64_t>(0, end)));
            tm.media += s.duration;
        }
        if (m_walked_count[t] > 0 && tm.has_edits) {
            // The edit that ended with what the index listed runs on over what was walked.
            for (auto e = tm.edits.rbegin(); e != tm.edits.rend(); ++e) {
                if (e->media_time < 0)
                    continue;
                e->duration = std::max(e->duration, rescale_up(shown_end - std::min(shown_end, uint64_t(e->media_time)),
                                                               track.timescale, movie_scale));
                break;
            }
        } else if (kept < track.samples.size()) {
            // Edits of media that is gone go; the one across the cut ends there.
            size_t n = 0;
            for (; n < tm.edits.size(); ++n) {
                isobmff::Edit& e = tm.edits[n];
                if (e.media_time < 0)
                    continue;
                const uint64_t left =
                    rescale_up(shown_end - std::min(shown_end, uint64_t(e.media_time)), track.timescale, movie_scale);
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
        for (const isobmff::Edit& e : tm.edits)
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
    for (TrackTiming& tm : timing) {
        tm.movie = std::min(tm.movie, movie_end);
        isobmff::clamp_edits(tm.edits, movie_end);
    }
    return timing;
}

void IndexRepair::write_plain_table(Writer& out, const IsoBox& stbl, size_t index, int64_t shift,
                                    uint64_t walked_at) const
{
    const IndexTrack& t = m_index->tracks[index];
    const size_t kept = m_plan[index].moov_kept;
    const std::vector<IsoSample> samples = samples_of(index);
    std::vector<Chunk> chunks;
    for (size_t counted = 0, c = 0; counted < kept && c < t.chunks.size(); ++c) {
        Chunk chunk = t.chunks[c];
        chunk.samples = uint32_t(std::min<size_t>(chunk.samples, kept - counted));
        chunk.offset = uint64_t(int64_t(chunk.offset) + shift);
        counted += chunk.samples;
        chunks.push_back(chunk);
    }
    // Walked samples lie one after the other: a chunk for each stretch of one track.
    const uint32_t description = t.chunks.empty() ? 1 : t.chunks.back().description;
    uint64_t at = walked_at;
    bool open = false;
    for (const Walked& w : m_walked) {
        if (w.track == index && open)
            ++chunks.back().samples;
        else if (w.track == index)
            chunks.push_back({at, 1, description});
        open = w.track == index;
        at += w.sample.size;
    }
    const size_t table = out.begin(fourcc("stbl"));
    if (const std::optional<IsoBox> stsd = isobmff::child(stbl, fourcc("stsd")))
        out.copy(*stsd);
    isobmff::write_sample_tables(out, samples, chunks);
    // Tables of one entry a sample are cut with the samples; others that
    // would need more than that (sub-samples, encryption) do not come along.
    for (const IsoBox& part : isobmff::children(stbl)) {
        if (part.type == fourcc("sdtp") && samples.size() == kept)
            isobmff::copy_dependencies(out, part, kept);
        else if (part.type == fourcc("sbgp"))
            isobmff::copy_groups(out, part, kept);
        else if (part.type == fourcc("sgpd"))
            out.copy(part);
    }
    out.end(table);
}

std::vector<uint8_t> IndexRepair::plain_moov(int64_t shift, uint64_t walked_at) const
{
    const IsoBox moov = in_memory(m_file, m_layout.boxes[m_index->moov]);
    std::vector<IsoBox> traks;
    for (const IsoBox& box : isobmff::children(moov)) {
        if (box.type == fourcc("trak"))
            traks.push_back(box);
    }
    uint64_t movie_end = 0;
    const std::vector<TrackTiming> timing = plain_timings(traks, movie_end);
    // Fragments after a cut in the movie's own media are gone with it: no 'mvex'.
    const auto track = [&](Writer& w, const IsoBox& trak, size_t index) {
        if (index >= timing.size()) {
            w.copy(trak);
            return;
        }
        const TrackTiming& tm = timing[index];
        isobmff::TrackRewrite rewrite;
        rewrite.movie_duration = tm.movie;
        rewrite.media_duration = tm.media;
        rewrite.sample_table = [&](Writer& out, const IsoBox& stbl) {
            write_plain_table(out, stbl, index, shift, walked_at);
        };
        rewrite.other = [&](Writer& out, const IsoBox& part) {
            if (part.type != fourcc("edts"))
                return false;
            if (!tm.edits.empty())
                isobmff::write_edits(out, tm.edits);
            return true;
        };
        isobmff::write_track(w, trak, rewrite);
    };
    return write_movie(moov, movie_end, track, nullptr);
}

std::vector<IsoSample> IndexRepair::samples_of(size_t t) const
{
    const IndexTrack& track = m_index->tracks[t];
    std::vector<IsoSample> samples(track.samples.begin(), track.samples.begin() + ptrdiff_t(m_plan[t].moov_kept));
    uint64_t last = m_plan[t].moov_end - (samples.empty() ? 0 : samples.back().duration);
    for (const Walked& w : m_walked) {
        if (w.track != t)
            continue;
        // The sample before lasts until this one begins.
        if (!samples.empty())
            samples.back().duration = uint32_t(w.dts - last);
        samples.push_back(w.sample);
        last = w.dts;
    }
    return samples;
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
    // Media no header describes comes again, walked, in a fragment of its own.
    const auto walked_over = [this](const Box& box) {
        return std::any_of(m_undescribed.begin(), m_undescribed.end(),
                           [&](const ByteRange& r) { return r.begin == box.offset + box.header; });
    };
    uint64_t total = 0;
    for (size_t i = 0; i < stop; ++i)
        total += walked_over(m_layout.boxes[i]) ? 0 : m_layout.boxes[i].end - m_layout.boxes[i].offset;
    for (const Walked& w : m_walked)
        total += w.sample.size;
    out.expect(total);

    const std::vector<uint8_t> moov = fragmented_moov();
    for (size_t i = 0; i < stop && out.good(); ++i) {
        const Box& box = m_layout.boxes[i];
        if (walked_over(box))
            continue;
        if (i == m_index->moov) {
            out.put(moov);
        } else if (stale_after_cut(box.type)) {
            Writer free;
            free.bytes(m_file + box.offset, box.header);
            free.put32(4, fourcc("free"));
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
    if (!m_walked.empty() && out.good()) {
        const std::vector<uint8_t> fragment = walked_fragment();
        out.put(fragment);
        for (const Walked& w : m_walked)
            out.put(m_file + w.sample.offset, w.sample.size);
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
    const std::optional<IsoBox> mvhd = isobmff::child(moov, fourcc("mvhd"));
    if (!mvhd || read_movie_duration(*mvhd) == 0)
        return original; // the movie leaves its length to the fragments
    const uint64_t movie = movie_duration();
    const auto track = [&](Writer& w, const IsoBox& trak, size_t t) {
        if (t >= m_plan.size()) {
            w.copy(trak);
            return;
        }
        isobmff::TrackRewrite rewrite;
        rewrite.media_duration = m_plan[t].media_end;
        rewrite.movie_duration =
            std::min(movie, rescale_up(rewrite.media_duration, m_index->tracks[t].timescale, m_index->timescale));
        rewrite.sample_table = [](Writer& out, const IsoBox& stbl) { out.copy(stbl); };
        isobmff::write_track(w, trak, rewrite);
    };
    // 8.8.2 movie extends header: the whole length of the fragmented movie.
    const auto extends = [&](Writer& w, const IsoBox& mvex) {
        const size_t start = w.begin(fourcc("mvex"));
        for (const IsoBox& m : isobmff::children(mvex)) {
            if (m.type != fourcc("mehd")) {
                w.copy(m);
                continue;
            }
            const bool wide = m.payload_size() >= 12 && m.payload()[0] == 1;
            const size_t mehd = w.begin_full(fourcc("mehd"), wide ? 1 : 0, 0);
            w.uint(movie, wide);
            w.end(mehd);
        }
        w.end(start);
    };
    const std::vector<uint8_t> moov_out = write_movie(moov, movie, track, extends);
    return moov_out.size() == original.size() ? moov_out : original;
}

// The fragment the cut falls in: its header rebuilt for the samples kept,
// which follow it as they lay in the file.
std::vector<uint8_t> IndexRepair::cut_fragment(uint64_t& data_begin, uint64_t& data_end) const
{
    const IndexFragment& fragment = m_index->fragments[m_complete];
    data_begin = UINT64_MAX;
    data_end = 0;
    std::vector<FragmentTrack> trafs;
    for (size_t i = 0; i < fragment.trafs.size(); ++i) {
        const isobmff::TrackFragment& traf = fragment.trafs[i];
        FragmentTrack out{traf.track_id, traf.description, traf.decode_time, {}};
        for (size_t r = 0; r < m_cut_kept[i].size(); ++r) {
            const size_t n = m_cut_kept[i][r];
            if (n == 0)
                continue;
            const isobmff::TrackRun& run = traf.runs[r];
            FragmentRun kept;
            kept.samples.assign(run.samples.begin(), run.samples.begin() + ptrdiff_t(n));
            kept.flags.assign(run.flags.begin(), run.flags.begin() + ptrdiff_t(n));
            kept.data_at = run.samples.front().offset; // made relative below
            for (const IsoSample& s : kept.samples) {
                data_begin = std::min(data_begin, s.offset);
                data_end = std::max(data_end, s.offset + s.size);
            }
            out.runs.push_back(std::move(kept));
        }
        if (!out.runs.empty() && track_of(traf.track_id) >= 0)
            trafs.push_back(std::move(out));
    }
    if (trafs.empty())
        return {};
    for (FragmentTrack& traf : trafs) {
        for (FragmentRun& run : traf.runs)
            run.data_at -= data_begin;
    }
    std::vector<IsoBox> others;
    for (const IsoBox& part : isobmff::children(in_memory(m_file, m_layout.boxes[fragment.box]))) {
        if (part.type != fourcc("traf"))
            others.push_back(part);
    }
    return fragment_header(others, trafs, data_end - data_begin);
}

std::vector<int> IndexRepair::tracks_of(const Reference& ref) const
{
    // Its video to the first video track, its sound tracks to the sound tracks in order.
    std::vector<int> to_index(ref.tracks.size(), -1);
    size_t next_audio = 0;
    for (size_t t = 0; t < m_index->tracks.size(); ++t) {
        const uint32_t handler = m_index->tracks[t].handler;
        if (handler == fourcc("vide") && to_index[size_t(ref.video)] < 0)
            to_index[size_t(ref.video)] = int(t);
        else if (handler == fourcc("soun") && next_audio < ref.audio.size())
            to_index[size_t(ref.audio[next_audio++])] = int(t);
    }
    return to_index;
}

std::vector<RefSample> IndexRepair::own_layout(const Reference& ref) const
{
    const std::vector<int> to_index = tracks_of(ref);
    std::vector<int> to_ref(m_plan.size(), -1);
    for (size_t r = 0; r < to_index.size(); ++r) {
        if (to_index[r] >= 0)
            to_ref[size_t(to_index[r])] = int(r);
    }
    std::vector<RefSample> layout;
    const auto add = [&](size_t t, const IsoSample& s, uint64_t dts) {
        if (to_ref[t] < 0)
            return;
        const AVRational from{1, int(m_index->tracks[t].timescale)};
        const int64_t time =
            av_rescale_q(int64_t(dts) + m_plan[t].shift, from, ref.tracks[size_t(to_ref[t])].time_base);
        layout.push_back({int64_t(s.offset), to_ref[t], time, s.size});
    };
    std::vector<uint64_t> time(m_plan.size(), 0);
    for (size_t t = 0; t < m_plan.size(); ++t) {
        for (size_t i = 0; i < m_plan[t].moov_kept; ++i) {
            add(t, m_index->tracks[t].samples[i], time[t]);
            time[t] += m_index->tracks[t].samples[i].duration;
        }
    }
    for (size_t f = 0; f < m_complete && !m_plain; ++f) {
        for (const isobmff::TrackFragment& traf : m_index->fragments[f].trafs) {
            const int t = track_of(traf.track_id);
            if (t < 0)
                continue;
            uint64_t& at = time[size_t(t)];
            at = traf.decode_time.value_or(at);
            for (const isobmff::TrackRun& run : traf.runs) {
                for (const IsoSample& s : run.samples) {
                    add(size_t(t), s, at);
                    at += s.duration;
                }
            }
        }
    }
    std::sort(layout.begin(), layout.end(), [](const RefSample& a, const RefSample& b) { return a.pos < b.pos; });
    return layout;
}

std::vector<ByteRange> IndexRepair::walk_ranges(const Reference& ref) const
{
    if (!m_plain || m_undescribed.empty())
        return m_undescribed;
    // Its last key picture: a walk begins cleanly there.
    uint64_t from = 0;
    const int video = ref.video >= 0 ? tracks_of(ref)[size_t(ref.video)] : -1;
    for (size_t i = 0; video >= 0 && i < m_plan[size_t(video)].moov_kept; ++i) {
        const IsoSample& s = m_index->tracks[size_t(video)].samples[i];
        if (s.sync && s.offset < m_described)
            from = std::max(from, s.offset);
    }
    std::vector<ByteRange> ranges;
    for (const ByteRange& r : m_layout.media) {
        if (std::max(r.begin, from) < r.end)
            ranges.push_back({std::max(r.begin, from), r.end, r.cut});
    }
    return ranges;
}

std::vector<std::optional<int64_t>> IndexRepair::walk_start(const Reference& ref,
                                                            const std::vector<Sample>& samples) const
{
    std::vector<std::optional<int64_t>> start(ref.tracks.size());
    if (!m_plain || m_undescribed.empty())
        return start;
    const std::vector<int> to_index = tracks_of(ref);
    std::vector<bool> seen(ref.tracks.size(), false);
    for (const Sample& s : samples) {
        if (seen[s.track])
            continue;
        seen[s.track] = true;
        const int t = to_index[s.track];
        const long i = t >= 0 ? listed_at(size_t(t), s.pos, s.size) : -1;
        if (i < 0)
            continue;
        const std::vector<IsoSample>& listed = m_index->tracks[size_t(t)].samples;
        int64_t pts = listed[size_t(i)].cts + m_plan[size_t(t)].shift;
        for (long j = 0; j < i; ++j)
            pts += listed[size_t(j)].duration;
        start[s.track] =
            av_rescale_q(pts, AVRational{1, int(m_index->tracks[size_t(t)].timescale)}, ref.tracks[s.track].time_base);
    }
    return start;
}

void IndexRepair::add_walked(const Reference& ref, const std::vector<Sample>& samples)
{
    if (m_plain) {
        add_tail(ref, samples);
        return;
    }
    const std::vector<int> to_index = tracks_of(ref);
    // Each track goes on from where its last fragment ended.
    std::vector<int64_t> first(ref.tracks.size(), INT64_MIN);
    std::vector<size_t> last(m_plan.size(), SIZE_MAX);
    for (const Sample& s : samples) {
        const int t = to_index[s.track];
        if (t < 0)
            continue;
        const AVRational from = ref.tracks[s.track].time_base;
        const AVRational to{1, int(m_index->tracks[size_t(t)].timescale)};
        if (first[s.track] == INT64_MIN)
            first[s.track] = s.dts;
        Walked w;
        w.track = size_t(t);
        w.dts = m_plan[w.track].media_end + uint64_t(av_rescale_q(s.dts - first[s.track], from, to));
        w.sample.offset = s.pos;
        w.sample.size = s.size;
        w.sample.duration = uint32_t(av_rescale_q(std::max<int64_t>(s.duration, 0), from, to));
        w.sample.cts = av_rescale_q(s.pts - s.dts, from, to);
        w.sample.sync = s.key;
        // A duration that would not meet the next sample's time is taken from that time.
        if (last[w.track] != SIZE_MAX) {
            Walked& before = m_walked[last[w.track]];
            before.sample.duration = uint32_t(w.dts - before.dts);
        }
        last[w.track] = m_walked.size();
        m_walked.push_back(w);
    }
    for (const Walked& w : m_walked) {
        TrackPlan& plan = m_plan[w.track];
        ++plan.kept;
        ++m_walked_count[w.track];
        plan.kept_bytes += w.sample.size;
    }
    for (size_t t = 0; t < m_plan.size(); ++t) {
        if (last[t] != SIZE_MAX)
            m_plan[t].media_end = m_walked[last[t]].dts + m_walked[last[t]].sample.duration;
    }
}

// The walk's samples past those the movie box lists, at the times the walk
// gave them: it began where the index gives times (walk_start()).
void IndexRepair::add_tail(const Reference& ref, const std::vector<Sample>& samples)
{
    const std::vector<int> to_index = tracks_of(ref);
    std::vector<int64_t> last(m_plan.size(), INT64_MIN);
    for (const Sample& s : samples) {
        const int t = to_index[s.track];
        if (t < 0 || s.pos < m_described)
            continue;
        const AVRational from = ref.tracks[s.track].time_base;
        const AVRational to{1, int(m_index->tracks[size_t(t)].timescale)};
        TrackPlan& plan = m_plan[size_t(t)];
        const int64_t pts = av_rescale_q(s.pts, from, to) - plan.shift;
        // Decoding times rise, from where the index's own samples end.
        const int64_t dts = std::max(av_rescale_q(s.dts, from, to) - plan.shift,
                                     last[size_t(t)] == INT64_MIN ? int64_t(plan.moov_end) : last[size_t(t)] + 1);
        Walked w;
        w.track = size_t(t);
        w.dts = uint64_t(dts);
        w.sample.offset = s.pos;
        w.sample.size = s.size;
        w.sample.duration = uint32_t(av_rescale_q(std::max<int64_t>(s.duration, 1), from, to));
        w.sample.cts = pts - dts;
        w.sample.sync = s.key;
        last[size_t(t)] = dts;
        m_walked.push_back(w);
        ++plan.kept;
        ++m_walked_count[size_t(t)];
        plan.kept_bytes += s.size;
        plan.media_end = uint64_t(dts) + w.sample.duration;
    }
}

// What the walk found, as one more fragment: its samples copied one after
// the other into its media box, a run for each stretch of one track.
std::vector<uint8_t> IndexRepair::walked_fragment() const
{
    std::vector<FragmentTrack> trafs(m_plan.size());
    uint64_t at = 0;
    size_t previous = SIZE_MAX;
    for (const Walked& w : m_walked) {
        FragmentTrack& traf = trafs[w.track];
        if (!traf.decode_time) {
            traf.track_id = m_index->tracks[w.track].id;
            traf.decode_time = w.dts;
        }
        if (traf.runs.empty() || previous != w.track) {
            traf.runs.emplace_back();
            traf.runs.back().data_at = at;
        }
        // 8.8.3.1: a sync sample depends on no other; any other sample does.
        traf.runs.back().samples.push_back(w.sample);
        traf.runs.back().flags.push_back(w.sample.sync ? 0x02000000 : 0x01000000 | isobmff::k_non_sync);
        at += w.sample.size;
        previous = w.track;
    }
    trafs.erase(std::remove_if(trafs.begin(), trafs.end(), [](const FragmentTrack& t) { return t.runs.empty(); }),
                trafs.end());
    // 8.8.5: fragments are numbered in order.
    Writer mfhd;
    const size_t box = mfhd.begin_full(fourcc("mfhd"), 0, 0);
    mfhd.u32(uint32_t(m_index->fragments.size() + 1));
    mfhd.end(box);
    const IsoBox header{fourcc("mfhd"), mfhd.data().data(), mfhd.size(), 8};
    return fragment_header({header}, trafs, at);
}

void IndexRepair::summarise(Summary& s) const
{
    s.payload = m_layout.media_bytes();
    s.used = 0;
    for (const TrackPlan& plan : m_plan)
        s.used += plan.kept_bytes;
    s.skipped = 0;
    for (const auto& [begin, end] : s.spans)
        s.skipped += end - begin;
    s.damaged_spots = s.spans.size();
    s.dropped = s.payload > s.used + s.skipped ? s.payload - s.used - s.skipped : 0;
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
        ts.walked = m_walked_count[t];
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
    if (!m_undescribed.empty()) {
        uint64_t walked = 0, bytes = 0;
        for (uint64_t n : m_walked_count)
            walked += n;
        for (const ByteRange& r : m_undescribed)
            bytes += r.size();
        if (m_plain)
            std::snprintf(line, sizeof line,
                          "the index before the media describes it up to byte %llu; the %llu bytes after that were "
                          "walked with the reference: %llu samples",
                          (unsigned long long)m_described, (unsigned long long)bytes, (unsigned long long)walked);
        else
            std::snprintf(line, sizeof line,
                          "media after the last fragment header (its own header lost) walked with the reference: "
                          "%llu samples",
                          (unsigned long long)walked);
        s.notes.push_back(line);
    }
}

} // namespace vidmend
