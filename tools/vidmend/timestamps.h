#pragma once

#include "reference.h"
#include "walker.h"

#include <cstdint>
#include <vector>

namespace vidmend {

// Display position of each picture, given in decoding order with its picture
// order count and whether the counts start again there. Within a period the
// counts are spaced by their usual step, so pictures lost from a cut-off
// group keep the places of the ones that are there.
std::vector<int64_t> display_order(const std::vector<int32_t>& poc, const std::vector<bool>& period_start);

// Frames by which decoding must run ahead of display for these positions.
int reorder_delay(const std::vector<int64_t>& display);

// Gives every sample its pts and dts: video from display order, with the
// decoding times held back by the reference's reorder delay (or more if the
// pictures need it); audio from the reference's first timestamp in steps of
// its frame duration.
void assign_timestamps(const Reference& ref, std::vector<Sample>& samples);

} // namespace vidmend
