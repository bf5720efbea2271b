#include "videosyntax.h"

#include "bitreader.h"
#include "h264.h"
#include "hevc.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

#include <algorithm>
#include <vector>

namespace vidmend {

// Checks the message chain of an SEI payload (the bytes after the NAL header):
// type and size codes, payloads that fit, and the stop bit at the very end.
bool valid_sei(const uint8_t* payload, size_t size)
{
    if (size > 65536)
        return true; // not worth reading through
    thread_local std::vector<uint8_t> rbsp;
    unescape_rbsp(payload, size, size, rbsp);
    size_t pos = 0;
    const size_t n = rbsp.size();
    do {
        for (int field = 0; field < 2; ++field) {
            uint32_t value = 0;
            while (pos < n && rbsp[pos] == 0xff)
                value += 255, ++pos;
            if (pos >= n)
                return false;
            value += rbsp[pos++];
            if (field == 1) {
                if (value > n - pos)
                    return false;
                pos += value;
            }
        }
    } while (pos + 1 < n);
    return pos + 1 == n && rbsp[pos] == 0x80;
}

bool valid_filler(const uint8_t* payload, size_t size)
{
    if (size == 0 || payload[size - 1] != 0x80)
        return false;
    for (size_t i = 0; i + 1 < size; ++i)
        if (payload[i] != 0xff)
            return false;
    return true;
}

int ceil_log2(uint32_t v)
{
    int bits = 0;
    while ((uint64_t(1) << bits) < v)
        ++bits;
    return bits;
}

int32_t clamp_poc(int64_t v)
{
    return int32_t(std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, v)));
}

namespace {

const VideoCodecEntry k_video_codecs[] = {
    {AV_CODEC_ID_H264, VideoCodec::H264, parse_avcc, make_h264_syntax},
    {AV_CODEC_ID_HEVC, VideoCodec::Hevc, parse_hvcc, make_hevc_syntax},
    {AV_CODEC_ID_MJPEG, VideoCodec::Mjpeg, mjpeg_config, make_mjpeg_syntax},
};

} // namespace

const VideoCodecEntry* video_codec_entry(int av_codec_id)
{
    for (const VideoCodecEntry& entry : k_video_codecs)
        if (entry.av_codec_id == av_codec_id)
            return &entry;
    return nullptr;
}

std::unique_ptr<VideoSyntax> make_video_syntax(VideoCodec codec)
{
    for (const VideoCodecEntry& entry : k_video_codecs)
        if (entry.codec == codec)
            return entry.make_syntax();
    return nullptr;
}

} // namespace vidmend
