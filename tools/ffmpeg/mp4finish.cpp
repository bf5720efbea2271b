#include "mp4finish.h"

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

constexpr uint32_t box_type(const char (&name)[5])
{
    return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 | uint32_t(uint8_t(name[2])) << 8 |
           uint32_t(uint8_t(name[3]));
}

// Sample flag of ISO/IEC 14496-12: the sample is not a sync sample.
constexpr uint32_t k_non_sync = 0x00010000;
// A fragment header's index is only ever a few kilobytes; anything far larger is not ours.
constexpr uint64_t k_max_header_box = 64u << 20;
// More than a day of video and audio; a count beyond it is a damaged header.
constexpr size_t k_max_samples = 1u << 24;

uint32_t be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

uint64_t be64(const uint8_t* p)
{
    return uint64_t(be32(p)) << 32 | be32(p + 4);
}

// Bounds-checked reading of a box's payload.
class Reader
{
public:
    Reader(const uint8_t* data, size_t size)
        : m_data(data)
        , m_size(size)
    {}

    bool ok() const { return m_ok; }
    size_t pos() const { return m_pos; }
    uint32_t u32() { return take(4) ? be32(m_data + m_pos - 4) : 0; }
    uint64_t u64() { return take(8) ? be64(m_data + m_pos - 8) : 0; }
    uint64_t uint(bool wide) { return wide ? u64() : u32(); }
    void skip(size_t n) { take(n); }
    const uint8_t* here() const { return m_data + m_pos; }

private:
    bool take(size_t n)
    {
        if (!m_ok || m_size - m_pos < n) {
            m_ok = false;
            return false;
        }
        m_pos += n;
        return true;
    }

    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
    bool m_ok = true;
};

struct Box
{
    uint32_t type = 0;
    const uint8_t* whole = nullptr; // header included
    size_t size = 0;
    size_t header = 0;

    const uint8_t* payload() const { return whole + header; }
    size_t payload_size() const { return size - header; }
};

// The child boxes of a payload; stops at the first malformed one.
std::vector<Box> children(const uint8_t* data, size_t size)
{
    std::vector<Box> boxes;
    size_t pos = 0;
    while (size - pos >= 8) {
        const uint8_t* p = data + pos;
        uint64_t box_size = be32(p);
        size_t header = 8;
        if (box_size == 1) {
            if (size - pos < 16)
                break;
            box_size = be64(p + 8);
            header = 16;
        } else if (box_size == 0) {
            box_size = size - pos;
        }
        if (box_size < header || box_size > size - pos)
            break;
        boxes.push_back({be32(p + 4), p, size_t(box_size), header});
        pos += size_t(box_size);
    }
    return boxes;
}

std::optional<Box> find(const std::vector<Box>& boxes, uint32_t type)
{
    for (const Box& box : boxes) {
        if (box.type == type)
            return box;
    }
    return std::nullopt;
}

std::optional<Box> child(const Box& parent, uint32_t type)
{
    return find(children(parent.payload(), parent.payload_size()), type);
}

class Writer
{
public:
    void u8(uint8_t v) { m_buf.push_back(v); }
    void u16(uint16_t v)
    {
        u8(uint8_t(v >> 8));
        u8(uint8_t(v));
    }
    void u32(uint32_t v)
    {
        u16(uint16_t(v >> 16));
        u16(uint16_t(v));
    }
    void u64(uint64_t v)
    {
        u32(uint32_t(v >> 32));
        u32(uint32_t(v));
    }
    void uint(uint64_t v, bool wide) { wide ? u64(v) : u32(uint32_t(v)); }
    void bytes(const uint8_t* data, size_t size) { m_buf.insert(m_buf.end(), data, data + size); }
    void copy(const Box& box) { bytes(box.whole, box.size); }

    size_t begin(uint32_t type)
    {
        const size_t start = m_buf.size();
        u32(0);
        u32(type);
        return start;
    }
    size_t begin_full(uint32_t type, uint8_t version, uint32_t flags)
    {
        const size_t start = begin(type);
        u32(uint32_t(version) << 24 | (flags & 0xffffff));
        return start;
    }
    void end(size_t start)
    {
        const uint32_t size = uint32_t(m_buf.size() - start);
        for (int i = 0; i < 4; ++i)
            m_buf[start + size_t(i)] = uint8_t(size >> (24 - 8 * i));
    }

    const std::vector<uint8_t>& data() const { return m_buf; }

private:
    std::vector<uint8_t> m_buf;
};

struct Sample
{
    uint64_t offset;
    uint32_t size;
    uint32_t duration;
    int64_t cts; // composition offset
    bool sync;
};

struct Chunk
{
    uint64_t offset;
    uint32_t samples;
    uint32_t description; // sample description index
};

struct Track
{
    uint32_t id = 0;
    uint32_t timescale = 0;
    // Defaults of the movie's 'trex' for this track.
    uint32_t description = 1;
    uint32_t duration = 0;
    uint32_t size = 0;
    uint32_t flags = 0;

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

uint64_t rescale(uint64_t value, uint32_t from, uint32_t to)
{
    if (from == 0)
        return 0;
    return uint64_t((unsigned __int128)value * to / from);
}

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

// A top-level box of the file, by position.
struct FileBox
{
    uint32_t type;
    uint64_t offset;
    uint64_t size;
    uint32_t header;
    bool complete; // all of it lies inside the file
    bool to_end;   // its size field says "to the end of the file"
};

std::vector<FileBox> top_level_boxes(const File& file)
{
    std::vector<FileBox> boxes;
    uint64_t pos = 0;
    while (file.size() - pos >= 8) {
        uint8_t h[16];
        const size_t want = size_t(std::min<uint64_t>(16, file.size() - pos));
        if (!file.read(pos, h, want))
            break;
        uint64_t size = be32(h);
        uint32_t header = 8;
        const bool to_end = size == 0;
        if (size == 1) {
            if (want < 16)
                break;
            size = be64(h + 8);
            header = 16;
        } else if (to_end) {
            size = file.size() - pos;
        }
        if (size < header)
            break;
        const bool complete = size <= file.size() - pos;
        boxes.push_back({be32(h + 4), pos, size, header, complete, to_end});
        if (!complete)
            break;
        pos += size;
    }
    return boxes;
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
    uint64_t m_kept_end = 0; // end of the last sample kept
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
    const std::optional<Box> mvhd = find(boxes, box_type("mvhd"));
    const std::optional<Box> mvex = find(boxes, box_type("mvex"));
    if (!mvhd || !mvex)
        return false; // an ordinary MP4
    Reader r(mvhd->payload(), mvhd->payload_size());
    const bool wide = (r.u32() >> 24) == 1;
    r.skip(wide ? 16 : 8);
    m_movie_timescale = r.u32();

    for (const Box& trak : boxes) {
        if (trak.type != box_type("trak"))
            continue;
        const std::vector<Box> parts = children(trak.payload(), trak.payload_size());
        const std::optional<Box> tkhd = find(parts, box_type("tkhd"));
        const std::optional<Box> mdia = find(parts, box_type("mdia"));
        const std::optional<Box> mdhd = mdia ? child(*mdia, box_type("mdhd")) : std::nullopt;
        if (!tkhd || !mdhd)
            continue;
        Reader t(tkhd->payload(), tkhd->payload_size());
        const bool twide = (t.u32() >> 24) == 1;
        t.skip(twide ? 16 : 8);
        const uint32_t id = t.u32();
        Reader m(mdhd->payload(), mdhd->payload_size());
        const bool mwide = (m.u32() >> 24) == 1;
        m.skip(mwide ? 16 : 8);
        Track& track = m_tracks[id];
        track.id = id;
        track.timescale = m.u32();
        // An index that already lists samples is not an empty one to replace.
        const std::optional<Box> minf = child(*mdia, box_type("minf"));
        const std::optional<Box> stbl = minf ? child(*minf, box_type("stbl")) : std::nullopt;
        const std::optional<Box> stsz = stbl ? child(*stbl, box_type("stsz")) : std::nullopt;
        if (stsz) {
            Reader s(stsz->payload(), stsz->payload_size());
            s.skip(8);
            if (s.u32() != 0) {
                error = "the index already lists samples";
                return false;
            }
        }
    }
    for (const Box& trex : children(mvex->payload(), mvex->payload_size())) {
        if (trex.type != box_type("trex"))
            continue;
        Reader r2(trex.payload(), trex.payload_size());
        r2.skip(4);
        const uint32_t id = r2.u32();
        auto it = m_tracks.find(id);
        if (it == m_tracks.end())
            continue;
        it->second.description = r2.u32();
        it->second.duration = r2.u32();
        it->second.size = r2.u32();
        it->second.flags = r2.u32();
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
        if (traf.type != box_type("traf"))
            continue;
        const std::vector<Box> parts = children(traf.payload(), traf.payload_size());
        const std::optional<Box> tfhd = find(parts, box_type("tfhd"));
        if (!tfhd)
            continue;
        Reader h(tfhd->payload(), tfhd->payload_size());
        const uint32_t tf_flags = h.u32() & 0xffffff;
        auto it = m_tracks.find(h.u32());
        if (it == m_tracks.end())
            continue;
        Track& track = it->second;
        uint64_t base = (tf_flags & 0x20000) ? box.offset : previous_traf_end;
        if (tf_flags & 0x1)
            base = h.u64();
        const uint32_t description = (tf_flags & 0x2) ? h.u32() : track.description;
        const uint32_t def_duration = (tf_flags & 0x8) ? h.u32() : track.duration;
        const uint32_t def_size = (tf_flags & 0x10) ? h.u32() : track.size;
        const uint32_t def_flags = (tf_flags & 0x20) ? h.u32() : track.flags;
        if (!h.ok()) {
            error = "malformed fragment header";
            return false;
        }
        if (const std::optional<Box> tfdt = find(parts, box_type("tfdt"))) {
            Reader d(tfdt->payload(), tfdt->payload_size());
            const bool wide = (d.u32() >> 24) == 1;
            const uint64_t dts = d.uint(wide);
            if (d.ok())
                track.start_at(dts);
        } else {
            track.start_at(track.next_dts);
        }

        uint64_t pos = base;
        for (const Box& trun : parts) {
            if (trun.type != box_type("trun"))
                continue;
            Reader r(trun.payload(), trun.payload_size());
            const uint32_t head = r.u32();
            const bool signed_cts = (head >> 24) != 0;
            const uint32_t flags = head & 0xffffff;
            const uint32_t count = r.u32();
            if (flags & 0x1)
                pos = base + uint64_t(int64_t(int32_t(r.u32())));
            const bool has_first_flags = flags & 0x4;
            const uint32_t first_flags = has_first_flags ? r.u32() : 0;
            Chunk chunk{pos, 0, description};
            for (uint32_t i = 0; i < count && r.ok(); ++i) {
                Sample s{};
                s.offset = pos;
                s.duration = (flags & 0x100) ? r.u32() : def_duration;
                s.size = (flags & 0x200) ? r.u32() : def_size;
                uint32_t sample_flags = (flags & 0x400) ? r.u32() : def_flags;
                if (i == 0 && has_first_flags)
                    sample_flags = first_flags;
                if (flags & 0x800) {
                    const uint32_t raw = r.u32();
                    s.cts = signed_cts ? int64_t(int32_t(raw)) : int64_t(raw);
                }
                if (!r.ok())
                    break;
                s.sync = !(sample_flags & k_non_sync);
                pos += s.size;
                // Media the file does not hold (an end cut short) is left out.
                if (pos > data_end || s.size == 0)
                    break;
                if (++m_sample_count > k_max_samples) {
                    error = "too many samples";
                    return false;
                }
                track.samples.push_back(s);
                track.next_dts += s.duration;
                ++chunk.samples;
                m_kept_end = std::max(m_kept_end, pos);
            }
            if (chunk.samples > 0)
                track.chunks.push_back(chunk);
        }
        previous_traf_end = pos;
    }
    return true;
}

uint64_t Finisher::track_movie_duration(const Track& track) const
{
    return rescale(track.media_duration(), track.timescale, m_movie_timescale);
}

// mvhd, tkhd and mdhd share their start: version, two times, then (for
// tkhd a track id and a reserved word) the duration. `before_duration` is
// what lies between the times and the duration; the version grows when the
// duration needs 64 bits.
void write_with_duration(Writer& w, const Box& box, size_t before_duration, uint64_t duration)
{
    Reader r(box.payload(), box.payload_size());
    const uint32_t head = r.u32();
    const bool wide = (head >> 24) == 1;
    const uint64_t created = r.uint(wide);
    const uint64_t modified = r.uint(wide);
    const uint8_t* middle = r.here();
    r.skip(before_duration);
    r.uint(wide);
    if (!r.ok()) {
        w.copy(box);
        return;
    }
    const size_t rest = box.payload_size() - r.pos();
    const bool out_wide = wide || duration > UINT32_MAX;
    const size_t start = w.begin_full(box.type, out_wide ? 1 : 0, head & 0xffffff);
    w.uint(created, out_wide);
    w.uint(modified, out_wide);
    w.bytes(middle, before_duration);
    w.uint(duration, out_wide);
    w.bytes(r.here(), rest);
    w.end(start);
}

void Finisher::write_moov(Writer& w) const
{
    uint64_t movie_duration = 0;
    for (const auto& [id, track] : m_tracks)
        movie_duration = std::max(movie_duration, track_movie_duration(track));

    const size_t moov = w.begin(box_type("moov"));
    for (const Box& box : children(m_moov.data(), m_moov.size())) {
        if (box.type == box_type("mvhd"))
            write_with_duration(w, box, 4, movie_duration); // after the time scale
        else if (box.type == box_type("trak"))
            write_trak(w, box);
        else if (box.type != box_type("mvex"))
            w.copy(box);
    }
    w.end(moov);
}

void Finisher::write_trak(Writer& w, const Box& trak) const
{
    const std::vector<Box> parts = children(trak.payload(), trak.payload_size());
    const Track* track = nullptr;
    if (const std::optional<Box> tkhd = find(parts, box_type("tkhd"))) {
        Reader t(tkhd->payload(), tkhd->payload_size());
        const bool wide = (t.u32() >> 24) == 1;
        t.skip(wide ? 16 : 8);
        const auto it = m_tracks.find(t.u32());
        track = it == m_tracks.end() ? nullptr : &it->second;
    }
    if (!track) {
        w.copy(trak);
        return;
    }

    const size_t start = w.begin(box_type("trak"));
    for (const Box& box : parts) {
        if (box.type == box_type("tkhd")) {
            write_with_duration(w, box, 8, track_movie_duration(*track)); // after track id and reserved
        } else if (box.type == box_type("mdia")) {
            const size_t mdia = w.begin(box_type("mdia"));
            for (const Box& m : children(box.payload(), box.payload_size())) {
                if (m.type == box_type("mdhd")) {
                    write_with_duration(w, m, 4, track->media_duration());
                } else if (m.type == box_type("minf")) {
                    const size_t minf = w.begin(box_type("minf"));
                    for (const Box& i : children(m.payload(), m.payload_size())) {
                        if (i.type == box_type("stbl"))
                            write_stbl(w, i, *track);
                        else
                            w.copy(i);
                    }
                    w.end(minf);
                } else {
                    w.copy(m);
                }
            }
            w.end(mdia);
        } else {
            w.copy(box);
        }
    }
    w.end(start);
}

void Finisher::write_stbl(Writer& w, const Box& stbl, const Track& track) const
{
    const std::vector<Sample>& samples = track.samples;
    const size_t start = w.begin(box_type("stbl"));
    if (const std::optional<Box> stsd = child(stbl, box_type("stsd")))
        w.copy(*stsd);

    // Decoding times, run-length coded.
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (const Sample& s : samples) {
        if (!runs.empty() && runs.back().second == s.duration)
            ++runs.back().first;
        else
            runs.emplace_back(1, s.duration);
    }
    size_t box = w.begin_full(box_type("stts"), 0, 0);
    w.u32(uint32_t(runs.size()));
    for (const auto& [count, delta] : runs) {
        w.u32(count);
        w.u32(delta);
    }
    w.end(box);

    // Composition offsets, only when a sample has one.
    const bool any_cts = std::any_of(samples.begin(), samples.end(), [](const Sample& s) { return s.cts != 0; });
    if (any_cts) {
        const bool negative = std::any_of(samples.begin(), samples.end(), [](const Sample& s) { return s.cts < 0; });
        std::vector<std::pair<uint32_t, int64_t>> offsets;
        for (const Sample& s : samples) {
            if (!offsets.empty() && offsets.back().second == s.cts)
                ++offsets.back().first;
            else
                offsets.emplace_back(1, s.cts);
        }
        box = w.begin_full(box_type("ctts"), negative ? 1 : 0, 0);
        w.u32(uint32_t(offsets.size()));
        for (const auto& [count, offset] : offsets) {
            w.u32(count);
            w.u32(uint32_t(offset));
        }
        w.end(box);
    }

    // Sync samples, only when not every sample is one.
    if (std::any_of(samples.begin(), samples.end(), [](const Sample& s) { return !s.sync; })) {
        std::vector<uint32_t> sync;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (samples[i].sync)
                sync.push_back(uint32_t(i + 1));
        }
        box = w.begin_full(box_type("stss"), 0, 0);
        w.u32(uint32_t(sync.size()));
        for (uint32_t n : sync)
            w.u32(n);
        w.end(box);
    }

    // Samples per chunk: a new entry only where the count or description changes.
    std::vector<Chunk> entries; // offset holds the first chunk's number here
    for (size_t i = 0; i < track.chunks.size(); ++i) {
        const Chunk& c = track.chunks[i];
        if (entries.empty() || entries.back().samples != c.samples || entries.back().description != c.description)
            entries.push_back({uint64_t(i + 1), c.samples, c.description});
    }
    box = w.begin_full(box_type("stsc"), 0, 0);
    w.u32(uint32_t(entries.size()));
    for (const Chunk& e : entries) {
        w.u32(uint32_t(e.offset));
        w.u32(e.samples);
        w.u32(e.description);
    }
    w.end(box);

    const bool same_size = !samples.empty() && std::all_of(samples.begin(), samples.end(), [&](const Sample& s) {
        return s.size == samples.front().size;
    });
    box = w.begin_full(box_type("stsz"), 0, 0);
    w.u32(same_size ? samples.front().size : 0);
    w.u32(uint32_t(samples.size()));
    if (!same_size) {
        for (const Sample& s : samples)
            w.u32(s.size);
    }
    w.end(box);

    const bool wide =
        std::any_of(track.chunks.begin(), track.chunks.end(), [](const Chunk& c) { return c.offset > UINT32_MAX; });
    box = w.begin_full(wide ? box_type("co64") : box_type("stco"), 0, 0);
    w.u32(uint32_t(track.chunks.size()));
    for (const Chunk& c : track.chunks)
        w.uint(c.offset, wide);
    w.end(box);

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
        if (box.type == box_type("moov") && moov)
            return Mp4Finish::NotFragmented;
        if (box.type == box_type("moov") && box.complete)
            moov = &box;
        else if (box.type == box_type("moof") && box.complete)
            moofs.push_back(&box);
        else if (box.type == box_type("mfra") && box.complete)
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
        if (last.type == box_type("mdat") && m_kept_end > last.offset + last.header) {
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
