#pragma once

#include "reference.h"
#include "walker.h"

#include <string>
#include <vector>

namespace vidmend {

// Whether the reference's settings decode the recording: a few key pictures
// and audio frames spread over the file (those right after damage last) go
// through libavcodec with the reference's configuration before anything is
// written; any one that decodes cleanly tells the settings fit. A reference recorded
// at another picture size or profile parses like the recording (slice headers
// hold little) and would give a file that does not play.
struct Fit
{
    bool ok = true;
    std::string problem; // what did not decode, when !ok
    // The recording carries its own parameter sets in its key pictures and
    // they describe another picture than the reference's: the repaired file
    // takes them instead (`ref` has been changed to them).
    bool own_sets = false;
    int width = 0, height = 0; // of the recording's pictures, when decoded
};

Fit check_fit(Reference& ref, const std::vector<Sample>& samples, const uint8_t* file);

} // namespace vidmend
