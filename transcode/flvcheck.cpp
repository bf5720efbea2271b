#include "flvcheck.h"

#include <QCoreApplication>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

FlvCheck check_flv_copy(const QString& path)
{
    FlvCheck result;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.toUtf8().constData(), nullptr, nullptr) != 0)
        return result;
    // Some containers (MPEG-TS among them) only name their codecs once packets were read.
    if (avformat_find_stream_info(context, nullptr) < 0) {
        avformat_close_input(&context);
        return result;
    }
    result.opened = true;

    // The muxer's own codec table decides, so this follows the libavformat in use.
    const AVOutputFormat* flv = av_guess_format("flv", nullptr, nullptr);
    const struct
    {
        AVMediaType type;
        const char* text;
    } kinds[] = {
        {AVMEDIA_TYPE_VIDEO, QT_TRANSLATE_NOOP("FlvCheck", "视频编码 %1 不能直接放入FLV，需先转码才能直播")},
        {AVMEDIA_TYPE_AUDIO, QT_TRANSLATE_NOOP("FlvCheck", "音频编码 %1 不能直接放入FLV，需先转码才能直播")},
    };
    for (const auto& kind : kinds) {
        const int index = av_find_best_stream(context, kind.type, -1, -1, nullptr, 0);
        if (index < 0)
            continue;
        const AVCodecID id = context->streams[index]->codecpar->codec_id;
        if (flv && avformat_query_codec(flv, id, FF_COMPLIANCE_NORMAL) == 1)
            continue;
        result.problems
            << QCoreApplication::translate("FlvCheck", kind.text).arg(QString::fromLatin1(avcodec_get_name(id)));
    }
    avformat_close_input(&context);
    return result;
}
