// AAC: the run goes to libavcodec's decoder as one packet; the decoder hands
// back one frame per raw frame, each carrying the size of the packet still
// left when it began, so consecutive differences are the frames' exact lengths.
#include "audioframer.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vidmend {

namespace {

class AacFramer : public AudioFramer
{
public:
    AacFramer(const AVCodecParameters* par, int64_t frame_samples)
        : m_frame_samples(frame_samples)
    {
        m_par = avcodec_parameters_alloc();
        avcodec_parameters_copy(m_par, par);
        m_pkt = av_packet_alloc();
        m_frame = av_frame_alloc();
        reset();
    }
    ~AacFramer() override
    {
        avcodec_free_context(&m_ctx);
        avcodec_parameters_free(&m_par);
        av_packet_free(&m_pkt);
        av_frame_free(&m_frame);
    }

    Result split(const uint8_t* data, size_t size) override
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

    // A packet shorter than the frame fails; one as long or longer yields the
    // frame first. So the length is the shortest packet that yields a frame,
    // found by halving instead of trying every length.
    size_t frame_length(const uint8_t* data, size_t size) override
    {
        thread_local std::vector<int> remaining;
        size_t low = m_min, high = std::min(size, m_max);
        if (low == 0 || low > high)
            return 0;
        decode(data, high, remaining);
        if (remaining.empty())
            return 0;
        while (low < high) {
            const size_t mid = low + (high - low) / 2;
            decode(data, mid, remaining);
            if (remaining.empty())
                low = mid + 1;
            else
                high = mid;
        }
        // The frame alone must decode cleanly.
        return decode(data, low, remaining) == 0 && remaining.size() == 1 ? low : 0;
    }

    bool could_start(const uint8_t* p, size_t avail) const override
    {
        if (avail < m_min || avail == 0)
            return false;
        return !m_learnt || m_first[p[0] >> 1];
    }

    bool belongs(const uint8_t* data, size_t size) const override { return m_learnt && could_start(data, size); }

    int64_t duration(uint32_t) const override { return m_frame_samples; }
    bool fixed() const override { return false; }
    uint64_t decode_calls() const override { return m_calls; }

    void learn(const uint8_t* frame, uint32_t size) override
    {
        if (size == 0)
            return;
        // The first syntax element and its instance tag: a channel pair for
        // stereo, a single channel for mono.
        m_first[frame[0] >> 1] = true;
        m_learnt = true;
        m_min_seen = std::min<size_t>(m_min_seen, size);
        m_max_seen = std::max<size_t>(m_max_seen, size);
        m_min = std::max<size_t>(2, m_min_seen / 2);
        m_max = std::max<size_t>(2 * m_max_seen + 64, 1536);
    }

private:
    void reset()
    {
        avcodec_free_context(&m_ctx);
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
        if (!codec)
            return;
        m_ctx = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(m_ctx, m_par);
        m_ctx->thread_count = 1;
        m_ctx->opaque = this;
        m_ctx->get_buffer2 = &AacFramer::frame_buffer;
        if (avcodec_open2(m_ctx, codec, nullptr) < 0)
            avcodec_free_context(&m_ctx);
        m_dirty = false;
    }

    // Sends `data` as one packet and collects, for each frame, the packet size
    // left when the frame began. 0 when the whole packet was taken, else the error.
    int decode(const uint8_t* data, size_t size, std::vector<int>& remaining)
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
        // Garbage may have left the decoder with a channel layout or rate of
        // its own making (a program config element, say): start afresh then.
        if (m_ctx->ch_layout.nb_channels != m_par->ch_layout.nb_channels || m_ctx->sample_rate != m_par->sample_rate)
            m_dirty = true;
        else
            avcodec_flush_buffers(m_ctx);
        return err;
    }

    // A frame of another channel count than the track's is garbage; refusing
    // it here also keeps the decoder's buffer pool from being made anew,
    // zeroed, for every stretch of garbage.
    static int frame_buffer(AVCodecContext* ctx, AVFrame* frame, int flags)
    {
        const AacFramer* self = static_cast<const AacFramer*>(ctx->opaque);
        if (frame->ch_layout.nb_channels != self->m_par->ch_layout.nb_channels)
            return AVERROR_INVALIDDATA;
        return avcodec_default_get_buffer2(ctx, frame, flags);
    }

    int64_t m_frame_samples;
    AVCodecContext* m_ctx = nullptr;
    AVCodecParameters* m_par = nullptr;
    AVPacket* m_pkt = nullptr;
    AVFrame* m_frame = nullptr;
    bool m_dirty = false;
    uint64_t m_calls = 0;
    std::array<bool, 128> m_first{};
    bool m_learnt = false;
    size_t m_min = 2, m_max = 1536;
    size_t m_min_seen = SIZE_MAX, m_max_seen = 0;
};

} // namespace

std::unique_ptr<AudioFramer> make_aac_framer(const AVCodecParameters* par, int64_t frame_samples)
{
    return std::make_unique<AacFramer>(par, frame_samples);
}

std::unique_ptr<AudioFramer> make_audio_framer(const AVCodecParameters* par, int64_t frame_samples)
{
    if (par->codec_id == AV_CODEC_ID_AAC && par->extradata_size >= 2)
        return make_aac_framer(par, frame_samples);
    if (pcm_block_size(par) > 0)
        return make_pcm_framer(par);
    return nullptr;
}

} // namespace vidmend
