#include "mediaprobe.h"

#include <cstdio>
#include <limits>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// num/den + 0.5, truncated; an unknown rate (den 0) gives 0.
qint32 rounded_rate(AVRational rate)
{
    if (rate.den == 0)
        return 0;
    const double value = double(rate.num) / rate.den + 0.5;
    // A nonsense rate from a broken header must not overflow the conversion.
    if (value >= double(std::numeric_limits<qint32>::max()))
        return std::numeric_limits<qint32>::max();
    if (value <= double(std::numeric_limits<qint32>::min()))
        return std::numeric_limits<qint32>::min();
    return qint32(value);
}

} // namespace

bool probe_media_file(const char* path, MediaInfo* info)
{
    if (!info)
        return false;
    *info = MediaInfo{};
    if (!path)
        return false;

    // Formats register themselves in this libavformat; there is no registration step.
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path, nullptr, nullptr) != 0)
        return false;

    // Not a failure: what the headers gave is still worth having.
    if (avformat_find_stream_info(context, nullptr) < 0) {
        std::fputs("get stream info erro ------------------ ", stderr);
        std::fflush(stderr);
    }

    // A container without a duration gives AV_NOPTS_VALUE / 1000000 here, on purpose.
    info->duration = context->duration / 1000000;

    const int index = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        avformat_close_input(&context);
        return false;
    }

    // Streams carry no decoder context any more; their average rate is the
    // closest thing, and the raw rate stands in when the average is unknown.
    const AVStream* stream = context->streams[index];
    AVRational rate = stream->avg_frame_rate;
    if (rate.num == 0 || rate.den == 0)
        rate = stream->r_frame_rate;
    info->fps = rounded_rate(rate);

    avformat_close_input(&context);
    return true;
}
