#pragma once

#include <cstdint>
#include <string>

namespace ffexe {

struct RealMediaSettings
{
    int quantiser = 6;    // the pictures' quality, 2 best .. 31, when no rate is given
    int64_t bit_rate = 0; // bits per second; 0: by quality
    double seconds = 0;   // how long the input is, 0 when unknown
};

// Reads ffmpeg's output from `fd` (NUT with raw 4:2:0 pictures and AC-3
// sound) to its end and writes `to` as RealMedia: the pictures encoded as
// RealVideo 2, each in as many packets as it needs, and an index of the key
// pictures after the data. The format counts its bytes in 32 bits: a long
// input is encoded coarser where it must be to stay under 4 GB. Closes `fd`. Empty when it is written, else why
// not (and `to` is left unfinished).
std::string write_real_media(int fd, const std::string& to, const RealMediaSettings& settings);

// True for the writer's reasons that say only that ffmpeg gave it too little.
bool written_short(const std::string& reason);

} // namespace ffexe
