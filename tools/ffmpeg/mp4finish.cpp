#include "mp4finish.h"

#include "sampletable.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ffexe {

namespace {

using isobmff::be32;
using isobmff::be64;
using isobmff::Box;
using isobmff::child;
using isobmff::children;
using isobmff::Chunk;
using isobmff::FileBox;
using isobmff::find;
using isobmff::fourcc;
using isobmff::k_max_samples;
using isobmff::Reader;
using isobmff::rescale;
using isobmff::Sample;
using isobmff::Writer;

// A fragment header's index is only ever a few kilobytes; anything far larger is not ours.
constexpr uint64_t k_max_header_box = 64u << 20;

struct Track
{
    uint32_t id = 0;
    uint32_t timescale = 0;

    std::vector<Sample> samples;
    std::vector<Chunk> chunks;
    bool started = false;
    uint64_t first_dts = 0;
    uint64_t next_dts = 0;

    uint64_t media_duration() const { return next_dts - first_dts; }

    // A fragment that starts later or earlier than the previous one ended
    // stretches or shortens the last sample, as a player would show it.
    void start_at(uint64_t dts)
    {
        if (!started) {
            started = true;
            first_dts = next_dts = dts;
            return;
        }
        if (samples.empty() || dts == next_dts)
            return;
        Sample& last = samples.back();
        const uint64_t last_dts = next_dts - last.duration;
        if (dts > last_dts && dts - last_dts <= UINT32_MAX) {
            last.duration = uint32_t(dts - last_dts);
            next_dts = dts;
        }
    }
};

// The file being finished. Every change remembers what it replaced, so that
// a change that fails half-way can be taken back.
class File
{
public:
    File(const std::string& path, PositionedWrite write)
        : m_write(write ? std::move(write) : PositionedWrite(::pwrite))
    {
        m_fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        struct stat st;
        if (m_fd >= 0 && ::fstat(m_fd, &st) == 0)
            m_size = uint64_t(st.st_size);
    }
    ~File()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool is_open() const { return m_fd >= 0; }
    uint64_t size() const { return m_size; }

    bool read(uint64_t offset, void* buffer, size_t size) const
    {
        return whole(::pread, static_cast<uint8_t*>(buffer), offset, size);
    }

    bool write(uint64_t offset, const void* buffer, size_t size)
    {
        return keep(offset, size) && raw_write(offset, static_cast<const uint8_t*>(buffer), size);
    }

    bool truncate(uint64_t size)
    {
        return (size >= m_size || keep(size, size_t(m_size - size))) && ::ftruncate(m_fd, off_t(size)) == 0;
    }

    // Puts back every byte changed so far and the file's size; false if that fails too.
    bool undo()
    {
        bool restored = true;
        for (auto it = m_kept.rbegin(); it != m_kept.rend(); ++it)
            restored = raw_write(it->first, it->second.data(), it->second.size()) && restored;
        m_kept.clear();
        return ::ftruncate(m_fd, off_t(m_size)) == 0 && restored;
    }

private:
    // Keeps the bytes of the file as it was that [offset, offset + size) covers.
    bool keep(uint64_t offset, size_t size)
    {
        if (offset >= m_size)
            return true;
        std::vector<uint8_t> old(size_t(std::min<uint64_t>(size, m_size - offset)));
        if (!read(offset, old.data(), old.size()))
            return false;
        m_kept.emplace_back(offset, std::move(old));
        return true;
    }

    bool raw_write(uint64_t offset, const uint8_t* data, size_t size)
    {
        const auto io = [this](int fd, const uint8_t* p, size_t n, off_t at) { return m_write(fd, p, n, at); };
        return whole(io, data, offset, size);
    }

    // Repeats a positioned read or write until all of it is done.
    template<typename Io, typename Byte>
    bool whole(Io io, Byte* p, uint64_t offset, size_t size) const
    {
        while (size > 0) {
            const ssize_t n = io(m_fd, p, size, off_t(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            p += n;
            offset += uint64_t(n);
            size -= size_t(n);
        }
        return true;
    }

    PositionedWrite m_write;
    int m_fd = -1;
    uint64_t m_size = 0; // as it was opened
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> m_kept;
};

std::vector<FileBox> top_level_boxes(const File& file)
{
    return isobmff::top_level_boxes(
        file.size(), [&file](uint64_t offset, uint8_t* out, size_t size) { return file.read(offset, out, size); });
}

class Finisher
{
public:
    Finisher(const std::string& path, PositionedWrite write)
        : m_file(path, std::move(write))
    {}

    Mp4Finish run(std::string& error);

private:
    struct Plan
    {
        const FileBox* moov = nullptr;
        std::vector<const FileBox*> moofs;
        const FileBox* mfra = nullptr; // one to retire
        const FileBox* to_end = nullptr;
        const FileBox* cut_mdat = nullptr;
        uint64_t at = 0; // where the index goes
    };
    bool write_all(const Plan& plan, std::string& error);
    bool read_moov(const FileBox& box, std::string& error);
    bool read_moof(const FileBox& box, uint64_t data_end, std::string& error);
    void write_moov(Writer& w) const;
    void write_trak(Writer& w, const Box& trak) const;
    void write_stbl(Writer& w, const Box& stbl, const Track& track) const;
    uint64_t track_movie_duration(const Track& track) const;

    File m_file;
    std::vector<uint8_t> m_moov; // payload of the initial, empty index
    uint32_t m_movie_timescale = 0;
    std::map<uint32_t, Track> m_tracks;
    std::vector<isobmff::TrackDefaults> m_defaults; // the movie's 'trex' boxes
    uint64_t m_kept_end = 0;                        // end of the last sample kept
    size_t m_sample_count = 0;
};

bool Finisher::read_moov(const FileBox& box, std::string& error)
{
    // The first index of a fragmented MP4 lists no samples and is small; a large one is not ours.
    if (box.size > k_max_header_box)
        return false;
    m_moov.resize(size_t(box.size - box.header));
    if (!m_file.read(box.offset + box.header, m_moov.data(), m_moov.size())) {
        error = "cannot read the index";
        return false;
    }
    const std::vector<Box> boxes = children(m_moov.data(), m_moov.size());
    const std::optional<Box> mvhd = find(boxes, fourcc("mvhd"));
    const std::optional<Box> mvex = find(boxes, fourcc("mvex"));
    if (!mvhd || !mvex)
        return false; // an ordinary MP4
    m_movie_timescale = isobmff::timescale(*mvhd);

    for (const Box& trak : boxes) {
        if (trak.type != fourcc("trak"))
            continue;
        const std::vector<Box> parts = children(trak.payload(), trak.payload_size());
        const std::optional<Box> tkhd = find(parts, fourcc("tkhd"));
        const std::optional<Box> mdia = find(parts, fourcc("mdia"));
        const std::optional<Box> mdhd = mdia ? child(*mdia, fourcc("mdhd")) : std::nullopt;
        if (!tkhd || !mdhd)
            continue;
        const std::optional<uint32_t> id = isobmff::track_id(*tkhd);
        if (!id)
            continue;
        Track& track = m_tracks[*id];
        track.id = *id;
        track.timescale = isobmff::timescale(*mdhd);
        // An index that already lists samples is not an empty one to replace.
        const std::optional<Box> minf = child(*mdia, fourcc("minf"));
        const std::optional<Box> stbl = minf ? child(*minf, fourcc("stbl")) : std::nullopt;
        const std::optional<Box> stsz = stbl ? child(*stbl, fourcc("stsz")) : std::nullopt;
        if (stsz) {
            Reader s(stsz->payload(), stsz->payload_size());
            s.skip(8);
            if (s.u32() != 0) {
                error = "the index already lists samples";
                return false;
            }
        }
    }
    for (const Box& trex : children(*mvex)) {
        if (trex.type != fourcc("trex"))
            continue;
        if (const std::optional<isobmff::TrackDefaults> defaults = isobmff::read_trex(trex))
            m_defaults.push_back(*defaults);
    }
    if (m_tracks.empty() || m_movie_timescale == 0) {
        error = "no tracks in the index";
        return false;
    }
    return true;
}

bool Finisher::read_moof(const FileBox& box, uint64_t data_end, std::string& error)
{
    if (box.size > k_max_header_box) {
        error = "fragment header too large";
        return false;
    }
    std::vector<uint8_t> moof(size_t(box.size - box.header));
    if (!m_file.read(box.offset + box.header, moof.data(), moof.size())) {
        error = "cannot read a fragment header";
        return false;
    }
    uint64_t previous_traf_end = box.offset;
    for (const Box& traf : children(moof.data(), moof.size())) {
        if (traf.type != fourcc("traf"))
            continue;
        isobmff::TrackFragment fragment;
        if (!isobmff::read_track_fragment(traf, box.offset, previous_traf_end, m_defaults, fragment)) {
            if (!isobmff::child(traf, fourcc("tfhd")))
                continue;
            error = "malformed fragment header";
            return false;
        }
        previous_traf_end = fragment.data_end;
        auto it = m_tracks.find(fragment.track_id);
        if (it == m_tracks.end())
            continue;
        Track& track = it->second;
        track.start_at(fragment.decode_time ? *fragment.decode_time : track.next_dts);
        for (const isobmff::TrackRun& run : fragment.runs) {
            Chunk chunk{run.samples.empty() ? 0 : run.samples.front().offset, 0, fragment.description};
            for (const Sample& s : run.samples) {
                // Media the file does not hold (an end cut short) is left out.
                if (s.offset + s.size > data_end || s.size == 0)
                    break;
                if (++m_sample_count > k_max_samples) {
                    error = "too many samples";
                    return false;
                }
                track.samples.push_back(s);
                track.next_dts += s.duration;
                ++chunk.samples;
                m_kept_end = std::max(m_kept_end, s.offset + s.size);
            }
            if (chunk.samples > 0)
                track.chunks.push_back(chunk);
        }
    }
    return true;
}

uint64_t Finisher::track_movie_duration(const Track& track) const
{
    return rescale(track.media_duration(), track.timescale, m_movie_timescale);
}

void Finisher::write_moov(Writer& w) const
{
    uint64_t movie_duration = 0;
    for (const auto& [id, track] : m_tracks)
        movie_duration = std::max(movie_duration, track_movie_duration(track));

    const size_t moov = w.begin(fourcc("moov"));
    for (const Box& box : children(m_moov.data(), m_moov.size())) {
        if (box.type == fourcc("mvhd"))
            isobmff::write_with_duration(w, box, 4, movie_duration); // after the time scale
        else if (box.type == fourcc("trak"))
            write_trak(w, box);
        else if (box.type != fourcc("mvex"))
            w.copy(box);
    }
    w.end(moov);
}

void Finisher::write_trak(Writer& w, const Box& trak) const
{
    const std::vector<Box> parts = children(trak.payload(), trak.payload_size());
    const Track* track = nullptr;
    const std::optional<Box> tkhd = find(parts, fourcc("tkhd"));
    if (const std::optional<uint32_t> id = tkhd ? isobmff::track_id(*tkhd) : std::nullopt) {
        const auto it = m_tracks.find(*id);
        track = it == m_tracks.end() ? nullptr : &it->second;
    }
    if (!track) {
        w.copy(trak);
        return;
    }

    isobmff::TrackRewrite rewrite;
    rewrite.movie_duration = track_movie_duration(*track);
    rewrite.media_duration = track->media_duration();
    rewrite.sample_table = [&](Writer& out, const Box& stbl) { write_stbl(out, stbl, *track); };
    isobmff::write_track(w, trak, rewrite);
}

void Finisher::write_stbl(Writer& w, const Box& stbl, const Track& track) const
{
    const size_t start = w.begin(fourcc("stbl"));
    if (const std::optional<Box> stsd = child(stbl, fourcc("stsd")))
        w.copy(*stsd);
    isobmff::write_sample_tables(w, track.samples, track.chunks);
    w.end(start);
}

// A big-endian size field of `n` bytes.
std::vector<uint8_t> size_field(uint64_t size, size_t n)
{
    std::vector<uint8_t> field(n);
    for (size_t i = 0; i < n; ++i)
        field[i] = uint8_t(size >> (8 * (n - 1 - i)));
    return field;
}

bool Finisher::write_all(const Plan& plan, std::string& error)
{
    const auto failed = [&error](const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        return false;
    };
    if (plan.to_end) {
        const std::vector<uint8_t> field = size_field(plan.to_end->size, 4);
        if (!m_file.write(plan.to_end->offset, field.data(), field.size()))
            return failed("cannot write the last box's size");
    }
    Writer w;
    write_moov(w);
    const std::vector<uint8_t>& index = w.data();
    if (!m_file.write(plan.at, index.data(), index.size()) || !m_file.truncate(plan.at + index.size()))
        return failed("cannot write the index");
    if (plan.cut_mdat) {
        // The media box cut short ends where the index begins.
        const bool wide = plan.cut_mdat->header == 16;
        const std::vector<uint8_t> field = size_field(plan.at - plan.cut_mdat->offset, wide ? 8 : 4);
        if (!m_file.write(plan.cut_mdat->offset + (wide ? 8 : 0), field.data(), field.size()))
            return failed("cannot write the size of the last media box");
    }
    // Only now do the fragment headers go: until here the file stayed a
    // fragmented MP4 that plays.
    static const uint8_t k_free[4] = {'f', 'r', 'e', 'e'};
    std::vector<const FileBox*> retired = plan.moofs;
    retired.push_back(plan.moov);
    if (plan.mfra)
        retired.push_back(plan.mfra);
    for (const FileBox* box : retired) {
        if (!m_file.write(box->offset + 4, k_free, 4))
            return failed("cannot retire the fragment headers");
    }
    return true;
}

Mp4Finish Finisher::run(std::string& error)
{
    if (!m_file.is_open())
        return Mp4Finish::NotFragmented;
    const std::vector<FileBox> boxes = top_level_boxes(m_file);
    const FileBox* moov = nullptr;
    std::vector<const FileBox*> moofs;
    const FileBox* mfra = nullptr;
    for (const FileBox& box : boxes) {
        // A file with two indexes is not one ffmpeg wrote in fragments: it is left alone.
        if (box.type == fourcc("moov") && moov)
            return Mp4Finish::NotFragmented;
        if (box.type == fourcc("moov") && box.complete)
            moov = &box;
        else if (box.type == fourcc("moof") && box.complete)
            moofs.push_back(&box);
        else if (box.type == fourcc("mfra") && box.complete)
            mfra = &box;
    }
    if (!moov)
        return Mp4Finish::NotFragmented;
    if (!read_moov(*moov, error))
        return error.empty() ? Mp4Finish::NotFragmented : Mp4Finish::Failed;
    for (const FileBox* moof : moofs) {
        if (moof->offset < moov->offset)
            continue;
        if (!read_moof(*moof, m_file.size(), error))
            return Mp4Finish::Failed;
    }
    size_t total = 0;
    for (const auto& [id, track] : m_tracks) {
        total += track.samples.size();
        // ffmpeg starts every track at zero; a later start would need an edit list.
        if (track.first_dts != 0) {
            error = "a track does not start at time zero";
            return Mp4Finish::Failed;
        }
    }
    if (total == 0) {
        error = "no media in the file";
        return Mp4Finish::Failed;
    }

    // The index goes after the last media kept: over the random-access
    // table or an unfinished box at the end, if there is one.
    Plan plan;
    plan.moov = moov;
    plan.moofs = moofs;
    plan.mfra = mfra;
    const FileBox& last = boxes.back();
    plan.at = m_file.size();
    if (!last.complete) {
        plan.at = last.offset;
        if (last.type == fourcc("mdat") && m_kept_end > last.offset + last.header) {
            plan.at = m_kept_end;
            plan.cut_mdat = &last;
        }
    } else if (mfra && mfra == &last) {
        plan.at = mfra->offset;
        plan.mfra = nullptr;
    }
    // A last box that runs "to the end" would swallow the index: it gets its true size.
    if (last.complete && last.to_end)
        plan.to_end = &last;

    if ((plan.to_end && plan.to_end->size > UINT32_MAX) ||
        (plan.cut_mdat && plan.cut_mdat->header != 16 && plan.at - plan.cut_mdat->offset > UINT32_MAX)) {
        error = "the last media box is too large for its size field";
        return Mp4Finish::Failed;
    }
    if (!write_all(plan, error)) {
        error += m_file.undo() ? "; the file is left as it was" : "; the file could not be put back as it was";
        return Mp4Finish::Failed;
    }
    return Mp4Finish::Finished;
}

} // namespace

Mp4Finish finish_fragmented_mp4(const std::string& path, std::string* error, PositionedWrite write)
{
    std::string message;
    Finisher finisher(path, std::move(write));
    const Mp4Finish result = finisher.run(message);
    if (error)
        *error = message;
    return result;
}

} // namespace ffexe
