#include "fragmentheader.h"

#include <algorithm>

namespace vidmend {

using isobmff::fourcc;
using IsoSample = isobmff::Sample;
using isobmff::Writer;

std::vector<uint8_t> fragment_header(const std::vector<isobmff::Box>& others, const std::vector<FragmentTrack>& tracks,
                                     uint64_t media)
{
    Writer w;
    std::vector<std::pair<size_t, uint64_t>> data_offsets; // where each run's offset goes, and its place in the media
    const size_t start = w.begin(fourcc("moof"));
    for (const isobmff::Box& part : others)
        w.copy(part);
    for (const FragmentTrack& traf : tracks) {
        const size_t traf_at = w.begin(fourcc("traf"));
        // 8.8.7: positions from the start of this header, the sample description named.
        const size_t tfhd = w.begin_full(fourcc("tfhd"), 0, 0x020000 | 0x2);
        w.u32(traf.track_id);
        w.u32(traf.description);
        w.end(tfhd);
        if (traf.decode_time) {
            const size_t tfdt = w.begin_full(fourcc("tfdt"), 1, 0);
            w.u64(*traf.decode_time);
            w.end(tfdt);
        }
        for (const FragmentRun& run : traf.runs) {
            const bool offsets =
                std::any_of(run.samples.begin(), run.samples.end(), [](const IsoSample& s) { return s.cts != 0; });
            const bool negative =
                std::any_of(run.samples.begin(), run.samples.end(), [](const IsoSample& s) { return s.cts < 0; });
            // 8.8.8: data offset, then duration, size, flags and composition offset of each sample.
            const size_t trun =
                w.begin_full(fourcc("trun"), negative ? 1 : 0, 0x1 | 0x100 | 0x200 | 0x400 | (offsets ? 0x800 : 0));
            w.u32(uint32_t(run.samples.size()));
            data_offsets.emplace_back(w.size(), run.data_at);
            w.u32(0);
            for (size_t k = 0; k < run.samples.size(); ++k) {
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
    w.end(start);
    const bool large = media + 8 > UINT32_MAX;
    const uint64_t header = large ? 16 : 8;
    for (const auto& [at, data_at] : data_offsets)
        w.put32(at, uint32_t(w.size() + header + data_at));
    w.u32(large ? 1 : uint32_t(media + 8));
    w.u32(fourcc("mdat"));
    if (large)
        w.u64(media + 16);
    return w.data();
}

} // namespace vidmend
