#include "sampletable.h"

#include <algorithm>

namespace isobmff {

namespace {

// A table's entry count, refused when its entries cannot fit in the box.
bool entry_count(Reader& r, size_t entry_size, uint32_t& count)
{
    count = r.u32();
    return r.ok() && count <= k_max_samples && size_t(count) * entry_size <= r.left();
}

// Runs of (count, value) spread over the samples; false when a run is malformed.
template<typename Apply>
bool read_runs(const std::optional<Box>& box, size_t samples, Apply apply)
{
    if (!box)
        return true;
    Reader r(box->payload(), box->payload_size());
    const uint32_t version = r.u32() >> 24;
    uint32_t runs = 0;
    if (!entry_count(r, 8, runs))
        return false;
    size_t at = 0;
    for (uint32_t i = 0; i < runs && at < samples; ++i) {
        const uint32_t count = r.u32();
        const uint32_t value = r.u32();
        for (uint32_t k = 0; k < count && at < samples; ++k)
            apply(at++, value, version);
    }
    return true;
}

std::vector<uint32_t> read_sizes(const Box& box, size_t& count, bool& ok)
{
    Reader r(box.payload(), box.payload_size());
    r.skip(4);
    std::vector<uint32_t> sizes;
    ok = false;
    if (box.type == fourcc("stsz")) {
        const uint32_t fixed = r.u32();
        uint32_t n = 0;
        if (!entry_count(r, fixed ? 0 : 4, n))
            return sizes;
        count = n;
        sizes.resize(n, fixed);
        for (uint32_t i = 0; fixed == 0 && i < n; ++i)
            sizes[i] = r.u32();
    } else { // 'stz2': 4, 8 or 16 bits a size
        r.skip(3);
        const unsigned bits = r.u8();
        const uint32_t n = r.u32();
        if (!r.ok() || (bits != 4 && bits != 8 && bits != 16) || n > k_max_samples ||
            (size_t(n) * bits + 7) / 8 > r.left())
            return sizes;
        count = n;
        sizes.resize(n);
        const uint8_t* p = r.here();
        for (uint32_t i = 0; i < n; ++i) {
            if (bits == 16)
                sizes[i] = uint32_t(p[2 * i]) << 8 | p[2 * i + 1];
            else if (bits == 8)
                sizes[i] = p[i];
            else
                sizes[i] = (i % 2 ? p[i / 2] : p[i / 2] >> 4) & 0xf;
        }
    }
    ok = r.ok();
    return sizes;
}

// Runs of samples with the same value: (count, value), in order.
template<typename Get>
std::vector<std::pair<uint32_t, uint32_t>> runs_of(const std::vector<Sample>& samples, Get get)
{
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (const Sample& s : samples) {
        if (!runs.empty() && runs.back().second == get(s))
            ++runs.back().first;
        else
            runs.emplace_back(1, get(s));
    }
    return runs;
}

void write_runs(Writer& w, uint32_t type, uint8_t version, const std::vector<std::pair<uint32_t, uint32_t>>& runs)
{
    const size_t box = w.begin_full(type, version, 0);
    w.u32(uint32_t(runs.size()));
    for (const auto& [count, value] : runs) {
        w.u32(count);
        w.u32(value);
    }
    w.end(box);
}

} // namespace

uint64_t rescale(uint64_t value, uint32_t from, uint32_t to)
{
    if (from == 0)
        return 0;
    return uint64_t((unsigned __int128)value * to / from);
}

bool read_sample_tables(const Box& stbl, std::vector<Sample>& samples, std::vector<Chunk>& chunks)
{
    samples.clear();
    chunks.clear();
    const std::vector<Box> tables = children(stbl);
    std::optional<Box> sizes_box = find(tables, fourcc("stsz"));
    if (!sizes_box)
        sizes_box = find(tables, fourcc("stz2"));
    const std::optional<Box> stsc = find(tables, fourcc("stsc"));
    std::optional<Box> offsets_box = find(tables, fourcc("stco"));
    const bool wide = !offsets_box;
    if (wide)
        offsets_box = find(tables, fourcc("co64"));
    if (!sizes_box || !stsc || !offsets_box)
        return false;

    size_t count = 0;
    bool ok = false;
    const std::vector<uint32_t> sizes = read_sizes(*sizes_box, count, ok);
    if (!ok)
        return false;

    // 8.7.5 chunk offsets, 8.7.4 samples per chunk.
    Reader co(offsets_box->payload(), offsets_box->payload_size());
    co.skip(4);
    uint32_t chunk_count = 0;
    if (!entry_count(co, wide ? 8 : 4, chunk_count))
        return false;
    chunks.resize(chunk_count);
    for (Chunk& c : chunks)
        c.offset = co.uint(wide);
    Reader sc(stsc->payload(), stsc->payload_size());
    sc.skip(4);
    uint32_t entries = 0;
    if (!entry_count(sc, 12, entries))
        return false;
    for (uint32_t i = 0; i < entries; ++i) {
        const uint32_t first = sc.u32(), per_chunk = sc.u32(), description = sc.u32();
        if (first == 0 || first > chunk_count)
            return false;
        for (size_t c = first - 1; c < chunks.size(); ++c)
            chunks[c] = {chunks[c].offset, per_chunk, description};
    }

    samples.resize(count);
    size_t at = 0;
    for (const Chunk& c : chunks) {
        uint64_t offset = c.offset;
        for (uint32_t k = 0; k < c.samples && at < count; ++k, ++at) {
            samples[at].offset = offset;
            samples[at].size = sizes[at];
            offset += sizes[at];
        }
    }
    if (at < count)
        return false; // the chunks do not hold every sample

    // 8.6.1.2 decoding times, 8.6.1.3 composition offsets (signed, as writers use them in either version).
    ok = read_runs(find(tables, fourcc("stts")), count,
                   [&](size_t i, uint32_t delta, uint32_t) { samples[i].duration = delta; }) &&
         read_runs(find(tables, fourcc("ctts")), count,
                   [&](size_t i, uint32_t offset, uint32_t) { samples[i].cts = int32_t(offset); });
    if (!ok)
        return false;

    // 8.6.2 sync samples; without the table every sample is one.
    if (const std::optional<Box> stss = find(tables, fourcc("stss"))) {
        Reader r(stss->payload(), stss->payload_size());
        r.skip(4);
        uint32_t n = 0;
        if (!entry_count(r, 4, n))
            return false;
        for (Sample& s : samples)
            s.sync = false;
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t number = r.u32();
            if (number >= 1 && number <= count)
                samples[number - 1].sync = true;
        }
    }
    return true;
}

void write_sample_tables(Writer& w, const std::vector<Sample>& samples, const std::vector<Chunk>& chunks)
{
    // Decoding times, run-length coded.
    write_runs(w, fourcc("stts"), 0, runs_of(samples, [](const Sample& s) { return s.duration; }));
    // Composition offsets, only when a sample has one.
    if (std::any_of(samples.begin(), samples.end(), [](const Sample& s) { return s.cts != 0; })) {
        const bool negative = std::any_of(samples.begin(), samples.end(), [](const Sample& s) { return s.cts < 0; });
        write_runs(w, fourcc("ctts"), negative ? 1 : 0,
                   runs_of(samples, [](const Sample& s) { return uint32_t(int32_t(s.cts)); }));
    }

    // Sync samples, only when not every sample is one.
    if (std::any_of(samples.begin(), samples.end(), [](const Sample& s) { return !s.sync; })) {
        std::vector<uint32_t> sync;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (samples[i].sync)
                sync.push_back(uint32_t(i + 1));
        }
        const size_t box = w.begin_full(fourcc("stss"), 0, 0);
        w.u32(uint32_t(sync.size()));
        for (uint32_t n : sync)
            w.u32(n);
        w.end(box);
    }

    // Samples per chunk: a new entry only where the count or description changes.
    std::vector<Chunk> entries; // offset holds the first chunk's number here
    for (size_t i = 0; i < chunks.size(); ++i) {
        const Chunk& c = chunks[i];
        if (entries.empty() || entries.back().samples != c.samples || entries.back().description != c.description)
            entries.push_back({uint64_t(i + 1), c.samples, c.description});
    }
    size_t box = w.begin_full(fourcc("stsc"), 0, 0);
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
    box = w.begin_full(fourcc("stsz"), 0, 0);
    w.u32(same_size ? samples.front().size : 0);
    w.u32(uint32_t(samples.size()));
    if (!same_size) {
        for (const Sample& s : samples)
            w.u32(s.size);
    }
    w.end(box);

    const bool wide = std::any_of(chunks.begin(), chunks.end(), [](const Chunk& c) { return c.offset > UINT32_MAX; });
    box = w.begin_full(wide ? fourcc("co64") : fourcc("stco"), 0, 0);
    w.u32(uint32_t(chunks.size()));
    for (const Chunk& c : chunks)
        w.uint(c.offset, wide);
    w.end(box);
}

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

void write_track(Writer& w, const Box& trak, const TrackRewrite& rewrite)
{
    const size_t start = w.begin(fourcc("trak"));
    for (const Box& box : children(trak)) {
        if (box.type == fourcc("tkhd")) {
            write_with_duration(w, box, 8, rewrite.movie_duration); // after track id and reserved
        } else if (box.type == fourcc("mdia")) {
            const size_t mdia = w.begin(fourcc("mdia"));
            for (const Box& m : children(box)) {
                if (m.type == fourcc("mdhd")) {
                    write_with_duration(w, m, 4, rewrite.media_duration); // after the time scale
                } else if (m.type == fourcc("minf")) {
                    const size_t minf = w.begin(fourcc("minf"));
                    for (const Box& i : children(m)) {
                        if (i.type == fourcc("stbl"))
                            rewrite.sample_table(w, i);
                        else
                            w.copy(i);
                    }
                    w.end(minf);
                } else {
                    w.copy(m);
                }
            }
            w.end(mdia);
        } else if (!rewrite.other || !rewrite.other(w, box)) {
            w.copy(box);
        }
    }
    w.end(start);
}

bool read_edits(const Box& trak, std::vector<Edit>& edits)
{
    const std::optional<Box> edts = child(trak, fourcc("edts"));
    const std::optional<Box> elst = edts ? child(*edts, fourcc("elst")) : std::nullopt;
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
    const size_t edts = w.begin(fourcc("edts"));
    const size_t elst = w.begin_full(fourcc("elst"), wide ? 1 : 0, 0);
    w.u32(uint32_t(edits.size()));
    for (const Edit& e : edits) {
        w.uint(e.duration, wide);
        w.uint(uint64_t(e.media_time), wide);
        w.u32(e.rate);
    }
    w.end(elst);
    w.end(edts);
}

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

void copy_dependencies(Writer& w, const Box& sdtp, size_t samples)
{
    const size_t start = w.begin(fourcc("sdtp"));
    w.bytes(sdtp.payload(), std::min(sdtp.payload_size(), 4 + samples));
    w.end(start);
}

void copy_groups(Writer& w, const Box& sbgp, size_t samples)
{
    Reader r(sbgp.payload(), sbgp.payload_size());
    const uint32_t head = r.u32();
    const uint32_t grouping = r.u32();
    const uint32_t parameter = (head >> 24) == 1 ? r.u32() : 0;
    const uint32_t count = r.u32();
    const size_t start = w.begin(fourcc("sbgp"));
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

std::optional<uint32_t> track_id(const Box& tkhd)
{
    Reader r(tkhd.payload(), tkhd.payload_size());
    const bool wide = (r.u32() >> 24) == 1;
    r.skip(wide ? 16 : 8);
    const uint32_t id = r.u32();
    return r.ok() ? std::optional<uint32_t>(id) : std::nullopt;
}

uint32_t timescale(const Box& header)
{
    Reader r(header.payload(), header.payload_size());
    const bool wide = (r.u32() >> 24) == 1;
    r.skip(wide ? 16 : 8);
    return r.u32();
}

std::optional<TrackDefaults> read_trex(const Box& trex)
{
    Reader r(trex.payload(), trex.payload_size());
    r.skip(4);
    TrackDefaults d;
    d.track_id = r.u32();
    d.description = r.u32();
    d.duration = r.u32();
    d.size = r.u32();
    d.flags = r.u32();
    return r.ok() ? std::optional<TrackDefaults>(d) : std::nullopt;
}

bool read_track_fragment(const Box& traf, uint64_t moof_offset, uint64_t previous_end,
                         const std::vector<TrackDefaults>& defaults, TrackFragment& out)
{
    out = TrackFragment{};
    const std::vector<Box> parts = children(traf);
    const std::optional<Box> tfhd = find(parts, fourcc("tfhd"));
    if (!tfhd)
        return false;
    // 8.8.7 track fragment header
    Reader h(tfhd->payload(), tfhd->payload_size());
    const uint32_t tf_flags = h.u32() & 0xffffff;
    out.track_id = h.u32();
    TrackDefaults d;
    for (const TrackDefaults& candidate : defaults) {
        if (candidate.track_id == out.track_id)
            d = candidate;
    }
    uint64_t base = (tf_flags & 0x20000) ? moof_offset : previous_end;
    if (tf_flags & 0x1)
        base = h.u64();
    out.description = (tf_flags & 0x2) ? h.u32() : d.description;
    const uint32_t def_duration = (tf_flags & 0x8) ? h.u32() : d.duration;
    const uint32_t def_size = (tf_flags & 0x10) ? h.u32() : d.size;
    const uint32_t def_flags = (tf_flags & 0x20) ? h.u32() : d.flags;
    if (!h.ok())
        return false;
    // 8.8.12 track fragment decode time
    if (const std::optional<Box> tfdt = find(parts, fourcc("tfdt"))) {
        Reader t(tfdt->payload(), tfdt->payload_size());
        const bool wide = (t.u32() >> 24) == 1;
        const uint64_t dts = t.uint(wide);
        if (t.ok())
            out.decode_time = dts;
    }

    // 8.8.8 track fragment runs
    uint64_t pos = base;
    size_t total = 0;
    for (const Box& trun : parts) {
        if (trun.type != fourcc("trun"))
            continue;
        Reader r(trun.payload(), trun.payload_size());
        const uint32_t head = r.u32();
        const bool signed_cts = (head >> 24) != 0;
        const uint32_t flags = head & 0xffffff;
        const uint32_t count = r.u32();
        // A run that names a million samples and says nothing of each is damaged.
        const bool per_sample = flags & (0x100 | 0x200 | 0x400 | 0x800);
        if (!per_sample && count > k_max_plain_run)
            return false;
        if (flags & 0x1)
            pos = base + uint64_t(int64_t(int32_t(r.u32())));
        const bool has_first_flags = flags & 0x4;
        const uint32_t first_flags = has_first_flags ? r.u32() : 0;
        TrackRun run;
        for (uint32_t i = 0; i < count && r.ok() && total < k_max_samples; ++i) {
            Sample s;
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
            run.samples.push_back(s);
            run.flags.push_back(sample_flags);
            ++total;
        }
        out.runs.push_back(std::move(run));
    }
    out.data_end = pos;
    return true;
}

} // namespace isobmff
