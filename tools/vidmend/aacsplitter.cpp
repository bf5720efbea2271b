#include "aacsplitter.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vidmend {

AacSplitter::AacSplitter(const AVCodecParameters* par)
{
    m_par = avcodec_parameters_alloc();
    avcodec_parameters_copy(m_par, par);
    m_pkt = av_packet_alloc();
    m_frame = av_frame_alloc();
    reset();
}

AacSplitter::~AacSplitter()
{
    avcodec_free_context(&m_ctx);
    avcodec_parameters_free(&m_par);
    av_packet_free(&m_pkt);
    av_frame_free(&m_frame);
}

void AacSplitter::reset()
{
    avcodec_free_context(&m_ctx);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    if (!codec)
        return;
    m_ctx = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(m_ctx, m_par);
    m_ctx->thread_count = 1;
    if (avcodec_open2(m_ctx, codec, nullptr) < 0)
        avcodec_free_context(&m_ctx);
    m_dirty = false;
}

// Sends `data` as one packet and collects, for each frame, the packet size
// left when the frame began. 0 when the whole packet was taken, else the error.
int AacSplitter::decode(const uint8_t* data, size_t size, std::vector<int>& remaining)
{
    remaining.clear();
    if (m_dirty)
        reset();
    if (!m_ctx || size == 0 || size > INT32_MAX / 2)
        return AVERROR(EINVAL);
    if (av_new_packet(m_pkt, int(size)) < 0)
        return AVERROR(ENOMEM);
    std::memcpy(m_pkt->data, data, size);
    ++m_calls;
    int err = avcodec_send_packet(m_ctx, m_pkt);
    av_packet_unref(m_pkt);
    while (err >= 0) {
        err = avcodec_receive_frame(m_ctx, m_frame);
        if (err < 0)
            break;
        ++m_calls;
        const int left = m_frame->pkt_size;
        av_frame_unref(m_frame);
        // A frame must begin inside the packet, after the one before it.
        if (left <= 0 || left > int(size) || (!remaining.empty() && left >= remaining.back())) {
            err = AVERROR_INVALIDDATA;
            break;
        }
        remaining.push_back(left);
    }
    if (err == AVERROR(EAGAIN))
        return 0;
    // Garbage may have left the decoder with a channel layout of its own
    // making; a clean start now and then is cheaper than one every time.
    if (++m_errors % 64 == 0)
        m_dirty = true;
    else
        avcodec_flush_buffers(m_ctx);
    return err;
}

AacSplitter::Result AacSplitter::split(const uint8_t* data, size_t size)
{
    Result result;
    thread_local std::vector<int> remaining;
    const int err = decode(data, size, remaining);
    if (remaining.empty() || size_t(remaining.front()) != size)
        return result;
    for (size_t i = 1; i < remaining.size(); ++i)
        result.lengths.push_back(uint32_t(remaining[i - 1] - remaining[i]));
    if (err == 0)
        result.lengths.push_back(uint32_t(remaining.back()));
    for (uint32_t len : result.lengths)
        result.covered += len;
    result.exact = err == 0;
    return result;
}

size_t AacSplitter::frame_length(const uint8_t* data, size_t size, size_t min, size_t max)
{
    thread_local std::vector<int> remaining;
    if (max > size)
        max = size;
    for (size_t len = min ? min : 1; len <= max; ++len) {
        if (decode(data, len, remaining) == 0 && remaining.size() == 1)
            return len;
    }
    return 0;
}

} // namespace vidmend
