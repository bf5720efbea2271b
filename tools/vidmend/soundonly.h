#pragma once

#include "timestamps.h"

namespace vidmend {

// Times for a recording of sound alone: each track runs on its own constant
// rate from the reference's first timestamp, and across damage moves on by
// the frames its lost bytes held (their mean size along the walk).
Timing sound_only_timestamps(const Reference& ref, std::vector<Sample>& samples);

} // namespace vidmend
