#pragma once

#include <string>
#include <vector>

namespace ffexe {

// What each output container gets, with the limits of the encoders it gets:
// the conversion planner adapts every input to these before ffmpeg starts,
// so that no format fails for a limit that is known.

// Which picture shapes a codec can say.
enum class Aspect {
    Any,         // any sample aspect ratio
    FourThreeOr, // only square samples or a picture shown at 4:3 or 16:9
    Square,      // square samples only
};

struct VideoCodec
{
    const char* name;    // as libav names it
    const char* encoder; // the stock ffmpeg's encoder; null: FFmpeg.exe encodes the raw pictures itself
    int align;           // both sides a multiple of this
    Aspect aspect;
    bool standard_rates; // only MPEG's frame rates, 24000/1001 to 60
    // Without a bitrate: the quality the encoder aims for, or else bits per pixel of each picture.
    std::vector<std::string> quality;
    std::vector<std::string> settings; // always
};

struct AudioCodec
{
    const char* name;
    const char* encoder;
    std::vector<int> rates; // the sample rates it is given, lowest first
    int max_channels;
    int kbps_per_channel;
    int max_kbps;
};

struct Container
{
    const char* ext; // lower case, with its dot
    const char* muxer;
    const VideoCodec* video;
    const AudioCodec* audio;
    bool constant_rate;                  // pictures at a constant rate only
    bool holds_rotation;                 // a copied stream keeps its display turn
    bool copy_plain;                     // copied video must be 8-bit 4:2:0, as players of this format expect
    std::vector<std::string> copy_video; // codecs copied as they are on request
    std::vector<std::string> copy_audio;
    std::vector<std::string> muxer_settings;
    std::vector<std::string> sound_only_settings; // more of them for a file without pictures
};

// The container for an output path by its extension (any case); null when none.
const Container* container_for(const std::string& path);

// MPEG's frame rates, as ffmpeg takes them, lowest first.
const std::vector<std::string>& standard_rates();

} // namespace ffexe
