#include "inputprobe.h"

#include <cmath>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

namespace ffexe {

namespace {

double rate_of(AVRational rate)
{
    return rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
}

VideoInput video_of(const AVStream& stream)
{
    const AVCodecParameters& par = *stream.codecpar;
    VideoInput v;
    v.index = stream.index;
    v.codec = avcodec_get_name(par.codec_id);
    v.width = par.width;
    v.height = par.height;
    AVRational sar = stream.sample_aspect_ratio.num > 0 ? stream.sample_aspect_ratio : par.sample_aspect_ratio;
    if (sar.num > 0 && sar.den > 0) {
        av_reduce(&v.sar_num, &v.sar_den, sar.num, sar.den, 1 << 20);
    }
    size_t size = 0;
    if (const uint8_t* matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
        matrix && size >= 9 * sizeof(int32_t)) {
        // The matrix turns counter-clockwise; a picture is shown turned the other way.
        const double angle = -av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
        if (!std::isnan(angle))
            v.rotation = ((int(std::lround(angle / 90.0)) % 4 + 4) % 4) * 90;
    }
    v.interlaced = par.field_order == AV_FIELD_TT || par.field_order == AV_FIELD_BB || par.field_order == AV_FIELD_TB ||
                   par.field_order == AV_FIELD_BT;
    if (const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(par.format)))
        v.plain_pixels = desc->comp[0].depth == 8 && desc->log2_chroma_w == 1 && desc->log2_chroma_h == 1 &&
                         !(desc->flags & AV_PIX_FMT_FLAG_RGB);
    v.avg_rate = rate_of(stream.avg_frame_rate);
    v.raw_rate = rate_of(stream.r_frame_rate);
    return v;
}

} // namespace

std::optional<InputInfo> probe_input(const std::string& path)
{
    // ffmpeg itself says what is wrong with an input, once, when it runs.
    const int level = av_log_get_level();
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext* context = nullptr;
    std::optional<InputInfo> info;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) == 0) {
        if (avformat_find_stream_info(context, nullptr) >= 0) {
            InputInfo found;
            found.duration = context->duration > 0 ? double(context->duration) / AV_TIME_BASE : 0.0;
            for (unsigned i = 0; i < context->nb_streams && !found.video; ++i) {
                const AVStream& stream = *context->streams[i];
                if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO && stream.codecpar->width > 0 &&
                    !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC))
                    found.video = video_of(stream);
            }
            const int audio = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
            if (audio >= 0) {
                const AVCodecParameters& par = *context->streams[audio]->codecpar;
                found.audio =
                    AudioInput{audio, avcodec_get_name(par.codec_id), par.sample_rate, par.ch_layout.nb_channels};
            }
            if (found.video || found.audio)
                info = found;
        }
        avformat_close_input(&context);
    }
    av_log_set_level(level);
    return info;
}

} // namespace ffexe
