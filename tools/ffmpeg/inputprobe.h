#pragma once

#include <optional>
#include <string>

namespace ffexe {

// What a conversion needs to know of its input, read with libavformat.
struct VideoInput
{
    int index = 0;     // among the input's streams
    std::string codec; // libav's codec name: "h264", "hevc", ...
    int width = 0, height = 0;
    int sar_num = 1, sar_den = 1; // of the stored picture
    int rotation = 0;             // clockwise, to show it upright: 0, 90, 180 or 270
    bool interlaced = false;
    bool plain_pixels = true; // 8-bit 4:2:0
    double avg_rate = 0;      // frames per second, 0 when unknown
    double raw_rate = 0;      // the rate that would hold every time stamp
};

struct AudioInput
{
    int index = 0;
    std::string codec;
    int rate = 0;
    int channels = 0;
};

struct InputInfo
{
    std::optional<VideoInput> video; // a cover picture is not video
    std::optional<AudioInput> audio;
    double duration = 0; // seconds, 0 when unknown
};

// Nothing when libavformat cannot read the file or finds no stream to convert.
std::optional<InputInfo> probe_input(const std::string& path);

} // namespace ffexe
