// AAC: the run goes to libavcodec's decoder as one packet; the decoder hands
// back one frame per raw frame, each carrying the size of the packet still
// left when it began, so consecutive differences are the frames' exact lengths.
#include "audioframer.h"

#include "bitreader.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vidmend {

namespace {

// The head of a raw data block (ISO/IEC 14496-3, 4.4.2), as far as a quick
// test reads it: the extension types of the fill elements it begins with,
// then its first channel element (its element and instance) with that
// channel's window sequence, highest scale factor band and global gain;
// -1 where a field is not read.
struct FrameHead
{
    uint32_t fills = 0; // one bit per extension type
    int element = -1;   // the first 7 bits of the first other element
    int sequence = -1;
    int max_sfb = -1;
    int gain = -1;
    bool valid = false;
};

FrameHead read_head(const uint8_t* p, size_t avail)
{
    constexpr int k_fill = 6;
    FrameHead h;
    BitReader r(p, std::min<size_t>(avail, 320));
    h.element = int(r.u(7));
    for (int fills = 0; h.element >> 4 == k_fill && fills < 2; ++fills) {
        uint32_t count = h.element & 15;
        if (count == 15)
            count += r.u(8) - 1;
        if (count > 0) {
            h.fills |= 1u << r.u(4);
            r.skip(8 * count - 4);
        }
        h.element = int(r.u(7));
    }
    const int id = h.element >> 4;
    if (id != 0 && id != 1) { // not a single channel or a channel pair
        h.valid = r.ok();
        return h;
    }
    int groups = 1;
    const auto ics_info = [&] {
        if (r.u(1)) // reserved
            return false;
        h.sequence = int(r.u(2));
        r.u(1); // window shape
        if (h.sequence == 2) {
            h.max_sfb = int(r.u(4));
            for (uint32_t grouping = r.u(7), bit = 0x40; bit; bit >>= 1)
                groups += (grouping & bit) == 0;
            return true;
        }
        h.max_sfb = int(r.u(6));
        return r.u(1) == 0; // no prediction in the low complexity profile
    };
    if (id == 1 && r.u(1)) { // a common window: its info, then the mid/side mask
        if (!ics_info())
            return h;
        const uint32_t ms = r.u(2);
        if (ms == 3)
            return h;
        if (ms == 1)
            r.skip(size_t(groups * h.max_sfb));
        h.gain = int(r.u(8));
    } else {
        h.gain = int(r.u(8));
        if (!ics_info())
            return h;
    }
    h.valid = r.ok();
    return h;
}

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
        result.exact = err == 0;
        if (result.exact) {
            // A raw data block ends with its end element's bits, never with a
            // zero byte: zeros after the last frame, which the decoder passes
            // over as padding, are some other track's (an empty text sample).
            uint32_t last = uint32_t(remaining.back());
            while (last > 0 && data[size - (uint32_t(remaining.back()) - last) - 1] == 0)
                --last;
            result.exact = last == uint32_t(remaining.back());
            if (last > 0)
                result.lengths.push_back(last);
        }
        for (uint32_t len : result.lengths)
            result.covered += len;
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

    bool likely_start(const uint8_t* p, size_t avail) const override
    {
        if (!could_start(p, avail))
            return false;
        const FrameHead h = read_head(p, avail);
        if (!h.valid)
            return false;
        if (!m_heads_learnt)
            return true;
        // Fill the reference never had (spectral band replication data, say)
        // sets the decoder to work it can spend milliseconds on.
        if ((h.fills & ~m_fills) != 0 || !m_elements[size_t(h.element)])
            return false;
        if (h.sequence < 0)
            return true;
        // Louder or quieter passages move the gain; the encoder's bandwidth keeps the bands.
        constexpr int k_gain_margin = 40;
        const int kind = h.sequence == 2;
        return (m_sequences >> h.sequence & 1) && h.max_sfb <= m_max_sfb[kind] &&
               (h.gain < 0 || (h.gain >= m_gain_low - k_gain_margin && h.gain <= m_gain_high + k_gain_margin));
    }

    int64_t duration(uint32_t) const override { return m_frame_samples; }
    bool fixed() const override { return false; }
    uint64_t decode_calls() const override { return m_calls; }

    void allow_shorter(uint32_t bytes) override
    {
        m_min_seen = std::min<size_t>(m_min_seen, bytes);
        m_min = std::max<size_t>(2, m_min_seen / 2);
    }

    void learn(const uint8_t* frame, uint32_t size) override
    {
        if (size == 0)
            return;
        // The first syntax element and its instance tag: a channel pair for
        // stereo, a single channel for mono.
        m_first[frame[0] >> 1] = true;
        m_learnt = true;
        const FrameHead h = read_head(frame, size);
        if (h.valid) {
            m_heads_learnt = true;
            m_fills |= h.fills;
            m_elements[size_t(h.element)] = true;
        }
        if (h.valid && h.sequence >= 0) {
            m_sequences |= 1u << h.sequence;
            m_max_sfb[h.sequence == 2] = std::max(m_max_sfb[h.sequence == 2], h.max_sfb);
            if (h.gain >= 0) {
                m_gain_low = std::min(m_gain_low, h.gain);
                m_gain_high = std::max(m_gain_high, h.gain);
            }
        }
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
            // A frame must begin inside the packet, after the one before it,
            // and the one before it be no shorter than the reference's shortest
            // allow: garbage may decode as a long row of tiny frames, each as
            // dear as a real one.
            if (left <= 0 || left > int(size) || (!remaining.empty() && left >= remaining.back()) ||
                (!remaining.empty() && size_t(remaining.back() - left) < m_min)) {
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
    // The reference's frame heads: fill extension types, first channel
    // elements, window sequences, highest band for long and short windows,
    // the range of global gains.
    bool m_heads_learnt = false;
    uint32_t m_fills = 0;
    std::array<bool, 128> m_elements{}; // the first after any fill
    uint32_t m_sequences = 0;
    std::array<int, 2> m_max_sfb{{0, 0}};
    int m_gain_low = 255, m_gain_high = 0;
    size_t m_min = 2, m_max = 1536;
    size_t m_min_seen = SIZE_MAX, m_max_seen = 0;
};

} // namespace

std::unique_ptr<AudioFramer> make_aac_framer(const AVCodecParameters* par, int64_t frame_samples)
{
    if (par->codec_id != AV_CODEC_ID_AAC || par->extradata_size < 2)
        return nullptr;
    return std::make_unique<AacFramer>(par, frame_samples);
}

} // namespace vidmend
