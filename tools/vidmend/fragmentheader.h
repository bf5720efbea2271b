#pragma once

#include "sampletable.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vidmend {

// A run of samples for a new fragment header, with where its first sample
// lies in the media box that follows the header.
struct FragmentRun
{
    std::vector<isobmff::Sample> samples;
    std::vector<uint32_t> flags; // each sample's sample_flags
    uint64_t data_at = 0;
};

struct FragmentTrack
{
    uint32_t track_id = 0;
    uint32_t description = 1;
    std::optional<uint64_t> decode_time;
    std::vector<FragmentRun> runs;
};

// A movie fragment header ('moof') for `tracks` with every position explicit
// and relative to it, `others` (its sequence number, say) copied in, then the
// header of the media box of `media` bytes that must follow it.
std::vector<uint8_t> fragment_header(const std::vector<isobmff::Box>& others, const std::vector<FragmentTrack>& tracks,
                                     uint64_t media);

} // namespace vidmend
