#pragma once

#include "reference.h"
#include "walker.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vidmend {

// Display position of each picture, given in decoding order with its picture
// order count and whether the counts start again there. Within a period the
// counts are spaced by their usual step, so pictures lost from a cut-off
// group keep the places of the ones that are there.
std::vector<int64_t> display_order(const std::vector<int32_t>& poc, const std::vector<bool>& period_start);

// Frames by which decoding must run ahead of display for these positions.
int reorder_delay(const std::vector<int64_t>& display);

// Where the times of a repaired recording came from.
struct Timing
{
    std::vector<double> lost; // per reference track: seconds estimated lost to damage
    bool audio_clock = false; // the video was laid out on the audio's clock, not at the reference's rate
    double frame_rate = 0;    // on the audio's clock: the recording's own rate, frames a second
    std::string clock_why;    // what the audio said of the video's rate
    // The audio's clock runs off the reference's rate by exactly the ratio of
    // a rate whose AAC frames look the same to the reference's: the
    // recording's sound was at that rate (its frames do not say so). Nothing
    // was laid out on the audio's clock; the times are to be given again
    // with the sound at this rate.
    int audio_rate = 0;
};

// Gives every sample its pts, dts and duration: video from display order at
// the reference's frame rate, with the decoding times held back by the
// reference's reorder delay (or more if the pictures need it), or on the
// audio's clock when the recording's own audio says its frame rate varies;
// audio from the reference's first timestamp in steps of its frame
// duration. Across damage the pictures' order counts tell what the video
// lost within a period, the lost bytes the rest, and audio and video are
// held together as the reference's writer interleaves them (audioclock.h).
Timing assign_timestamps(const Reference& ref, std::vector<Sample>& samples);

} // namespace vidmend
