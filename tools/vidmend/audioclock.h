#pragma once

#include "reference.h"
#include "walker.h"

#include <cstdint>
#include <vector>

namespace vidmend {

// The pictures as the video's own order laid them out, in frames: per
// picture its sample, its display and decoding slots, whether it begins a
// period right after damage, so that only the lost bytes told its place, and
// for one that goes on with its period after damage, the pictures after which
// the order counts wrap (its place is sure only up to whole wraps; 0 when
// it is sure).
struct PictureSlots
{
    std::vector<size_t> sample;
    std::vector<int64_t> display;
    std::vector<int64_t> rank;
    std::vector<bool> guessed;
    std::vector<int64_t> wrap;
};

// Gives the audio samples their times. Each track counts frames from the
// reference's first timestamp and, across damage, moves on by the frames
// its share of the lost bytes held (`lost_at`: per sample, the samples each
// track lost just before it; `mean_duration`: per track, a sample's mean
// duration, for PCM). Then audio and video are held together the way the
// reference's writer interleaves them: where the pictures' places are sure,
// a track is moved as little as needed to sit among them; where a period
// begins right after damage, its pictures are moved to sit around the
// audio instead, and where the order counts may have wrapped across a spot,
// by the whole wraps that let them. So an estimate that is out is set right
// at the next spot rather than adding up. Damage before the first sample (a
// lost head) leaves no clock to go on from: there each track sits against
// the pictures as the interleave has it, earlier or later. Returns, per
// track, the seconds it moved on across damage (the video's moves included).
std::vector<double> place_audio(const Reference& ref, const std::vector<std::vector<double>>& lost_at,
                                const std::vector<double>& mean_duration, const std::vector<double>& mean_size,
                                const std::vector<int64_t>& chunk, PictureSlots& pictures,
                                std::vector<Sample>& samples);

} // namespace vidmend
