#pragma once

#include "reference.h"
#include "walker.h"

#include <cstdint>
#include <vector>

namespace vidmend {

// The pictures as the video's own order laid them out, in frames: per
// picture its sample, its display and decoding slots, and whether it begins
// a period right after damage, so that only the lost bytes told its place.
struct PictureSlots
{
    std::vector<size_t> sample;
    std::vector<int64_t> display;
    std::vector<int64_t> rank;
    std::vector<bool> guessed;
};

// Gives the audio samples their times. Each track counts frames from the
// reference's first timestamp and, across damage, moves on by the frames
// its share of the lost bytes held (`lost_at`: per sample, the samples each
// track lost just before it; `mean_duration`: per track, a sample's mean
// duration, for PCM). Then audio and video are held together the way the
// reference's writer interleaves them: where the pictures' places are sure,
// a track is moved as little as needed to sit among them; where a period
// begins right after damage, its pictures are moved to sit around the
// audio instead. So an estimate that is out is set right at the next spot
// rather than adding up. Returns, per track, the seconds it moved on across
// damage (the video's moves included).
std::vector<double> place_audio(const Reference& ref, const std::vector<std::vector<double>>& lost_at,
                                const std::vector<double>& mean_duration, PictureSlots& pictures,
                                std::vector<Sample>& samples);

} // namespace vidmend
