#include "writer.h"

#include "audioframer.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace vidmend {

namespace {

std::string av_error_text(int err)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

} // namespace

Mp4Writer::~Mp4Writer()
{
    close();
}

void Mp4Writer::close()
{
    if (!m_ctx)
        return;
    if (m_ctx->pb)
        avio_closep(&m_ctx->pb);
    avformat_free_context(m_ctx);
    m_ctx = nullptr;
}

bool Mp4Writer::open(const std::string& path, const Reference& ref, std::string& error)
{
    // PCM sound has no sample entry in plain MP4; QuickTime's carries it.
    const AVOutputFormat* mp4 = av_guess_format("mp4", nullptr, nullptr);
    const char* format = "mp4";
    for (const RefTrack& track : ref.tracks)
        if (track.kind != TrackKind::Skipped &&
            avformat_query_codec(mp4, track.par->codec_id, FF_COMPLIANCE_NORMAL) != 1)
            format = "mov";
    int err = avformat_alloc_output_context2(&m_ctx, nullptr, format, path.c_str());
    if (err < 0 || !m_ctx) {
        error = "cannot set up the mp4 writer: " + av_error_text(err);
        return false;
    }
    m_stream_of_track.assign(ref.tracks.size(), -1);
    m_duration_of_track.assign(ref.tracks.size(), 0);
    m_time_base_of_track.assign(ref.tracks.size(), AVRational{1, 1});
    m_pcm_block.assign(ref.tracks.size(), 0);
    m_silence.assign(ref.tracks.size(), 0);
    m_sample_rate.assign(ref.tracks.size(), 0);
    m_next_pts.assign(ref.tracks.size(), INT64_MIN);
    for (size_t t = 0; t < ref.tracks.size(); ++t) {
        const RefTrack& track = ref.tracks[t];
        if (track.kind == TrackKind::Skipped)
            continue;
        AVStream* st = avformat_new_stream(m_ctx, nullptr);
        if (!st || avcodec_parameters_copy(st->codecpar, track.par.get()) < 0) {
            error = "cannot add a track to the mp4 writer";
            return false;
        }
        // Keep the reference's sample entry name (hvc1 or hev1, say) when the muxer knows it.
        const uint32_t tag = st->codecpar->codec_tag;
        if (tag && av_codec_get_id(m_ctx->oformat->codec_tag, tag) != st->codecpar->codec_id)
            st->codecpar->codec_tag = 0;
        st->time_base = track.time_base;
        if (!track.language.empty())
            av_dict_set(&st->metadata, "language", track.language.c_str(), 0);
        if (!track.handler.empty())
            av_dict_set(&st->metadata, "handler_name", track.handler.c_str(), 0);
        for (const auto& [type, bytes] : track.side_data) {
            uint8_t* data = av_stream_new_side_data(st, AVPacketSideDataType(type), bytes.size());
            if (data)
                std::memcpy(data, bytes.data(), bytes.size());
        }
        m_pcm_block[t] = track.kind == TrackKind::Audio ? pcm_block_size(track.par.get()) : 0;
        m_silence[t] = pcm_silence(track.par.get());
        m_sample_rate[t] = track.par->sample_rate;
        m_stream_of_track[t] = st->index;
        m_duration_of_track[t] = track.step;
        m_time_base_of_track[t] = track.time_base;
    }
    if ((err = avio_open(&m_ctx->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0) {
        error = "cannot create " + path + ": " + av_error_text(err);
        return false;
    }
    if ((err = avformat_write_header(m_ctx, nullptr)) < 0) {
        error = "cannot write the mp4 header: " + av_error_text(err);
        return false;
    }
    m_header_written = true;
    return true;
}

bool Mp4Writer::write_all(const std::vector<Sample>& samples, const uint8_t* data, const Progress& progress,
                          std::string& error)
{
    AVPacket* pkt = av_packet_alloc();
    bool ok = true;
    for (size_t i = 0; i < samples.size() && ok; ++i) {
        if (progress && i % 256 == 0 && !progress(i, samples.size())) {
            m_stopped = true;
            ok = false;
            break;
        }
        const Sample& s = samples[i];
        const int stream = m_stream_of_track[s.track];
        if (stream < 0)
            continue;
        if (!fill_gap(s, pkt, error)) {
            ok = false;
            break;
        }
        int err = av_new_packet(pkt, int(s.size));
        if (err >= 0) {
            std::memcpy(pkt->data, data + s.pos, s.size);
            pkt->stream_index = stream;
            pkt->pts = s.pts;
            pkt->dts = s.dts;
            pkt->duration = s.duration ? s.duration : m_duration_of_track[s.track];
            pkt->flags = s.key ? AV_PKT_FLAG_KEY : 0;
            // The muxer counts in the stream's time base, which it may have changed.
            av_packet_rescale_ts(pkt, m_time_base_of_track[s.track], m_ctx->streams[stream]->time_base);
            m_next_pts[s.track] = s.pts + (s.duration ? s.duration : m_duration_of_track[s.track]);
            err = av_interleaved_write_frame(m_ctx, pkt);
        }
        if (err < 0) {
            error = "cannot write a sample: " + av_error_text(err);
            ok = false;
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return ok;
}

bool Mp4Writer::fill_gap(const Sample& s, AVPacket* pkt, std::string& error)
{
    const size_t t = s.track;
    if (m_pcm_block[t] <= 0 || m_next_pts[t] == INT64_MIN || s.pts <= m_next_pts[t] || m_sample_rate[t] <= 0)
        return true;
    const int64_t gap = s.pts - m_next_pts[t];
    const int64_t frames = av_rescale_q(gap, m_time_base_of_track[t], AVRational{1, m_sample_rate[t]});
    // Far more than any hole a card leaves is a mistake upstream, not silence to write.
    if (frames <= 0 || frames > int64_t(m_sample_rate[t]) * 3600)
        return true;
    const int64_t bytes = frames * m_pcm_block[t];
    if (bytes > INT32_MAX)
        return true;
    int err = av_new_packet(pkt, int(bytes));
    if (err >= 0) {
        std::memset(pkt->data, m_silence[t], size_t(bytes));
        pkt->stream_index = m_stream_of_track[t];
        pkt->pts = pkt->dts = m_next_pts[t];
        pkt->duration = gap;
        pkt->flags = AV_PKT_FLAG_KEY;
        av_packet_rescale_ts(pkt, m_time_base_of_track[t], m_ctx->streams[pkt->stream_index]->time_base);
        err = av_interleaved_write_frame(m_ctx, pkt);
    }
    av_packet_unref(pkt);
    if (err < 0)
        error = "cannot write a sample: " + av_error_text(err);
    return err >= 0;
}

bool Mp4Writer::finish(std::string& error)
{
    if (!m_ctx || !m_header_written)
        return false;
    const int err = av_write_trailer(m_ctx);
    const int closed = avio_closep(&m_ctx->pb);
    if (err < 0 || closed < 0) {
        error = "cannot finish the repaired file: " + av_error_text(err < 0 ? err : closed);
        return false;
    }
    return true;
}

} // namespace vidmend
