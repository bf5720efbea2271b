// Linear PCM and G.711 in mov/mp4: every sample frame (one sample per
// channel) has the same size, so a run of audio bytes splits exactly.
#include "audioframer.h"

#include <cmath>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vidmend {

namespace {

// G.711 codes as linear values (ITU-T G.711), scaled to 16 bits.
int mulaw_value(uint8_t code)
{
    const int u = ~code & 0xff;
    const int magnitude = (((u & 0x0f) << 3) + 0x84) << ((u >> 4) & 7);
    return (u & 0x80) ? 0x84 - magnitude : magnitude - 0x84;
}

int alaw_value(uint8_t code)
{
    const int a = code ^ 0x55;
    const int exponent = (a >> 4) & 7;
    const int magnitude = exponent == 0 ? ((a & 0x0f) << 4) + 8 : (((a & 0x0f) << 4) + 0x108) << (exponent - 1);
    return (a & 0x80) ? magnitude : -magnitude;
}

class PcmFramer : public AudioFramer
{
public:
    PcmFramer(AVCodecID codec, int block, int channels)
        : m_codec(codec)
        , m_block(uint32_t(block))
        , m_channels(channels)
        , m_width(block / channels)
    {}

    // A run between two video samples is one chunk of whole sample frames.
    Result split(const uint8_t*, size_t size) override
    {
        Result result;
        const size_t whole = size - size % m_block;
        if (whole)
            result.lengths.push_back(uint32_t(whole));
        result.covered = whole;
        result.exact = whole == size && whole > 0;
        return result;
    }
    size_t frame_length(const uint8_t*, size_t size) override { return size >= m_block ? m_block : 0; }
    bool could_start(const uint8_t*, size_t avail) const override { return avail >= m_block; }
    int64_t duration(uint32_t bytes) const override { return bytes / m_block; }
    bool fixed() const override { return true; }
    void learn(const uint8_t*, uint32_t) override {}

    // Sound changes little from one sample to the next; coded data (another
    // codec's frames) read as samples is loud and jumps about. (Loud white
    // noise would look the same; recordings hardly hold it.)
    bool belongs(const uint8_t* data, size_t size) const override
    {
        const size_t frames = std::min<size_t>(size / m_block, 4096);
        if (frames < 64)
            return true; // too little to tell
        double energy = 0, lagged = 0;
        for (int c = 0; c < m_channels; ++c) {
            std::vector<double> x(frames);
            double mean = 0;
            for (size_t i = 0; i < frames; ++i) {
                x[i] = value(data + i * m_block + size_t(c * m_width));
                if (!std::isfinite(x[i]) || std::fabs(x[i]) > 16)
                    return false;
                mean += x[i] / double(frames);
            }
            for (size_t i = 0; i < frames; ++i) {
                energy += (x[i] - mean) * (x[i] - mean);
                lagged += i > 0 ? (x[i] - mean) * (x[i - 1] - mean) : 0;
            }
        }
        const double loudness = std::sqrt(energy / double(frames * size_t(m_channels)));
        return loudness < 0.1 || lagged > 0.5 * energy;
    }

private:
    // One sample, full scale at 1.
    double value(const uint8_t* p) const
    {
        const auto le = [p](int n) {
            uint64_t v = 0;
            for (int i = n - 1; i >= 0; --i)
                v = v << 8 | p[i];
            return v;
        };
        const auto be = [p](int n) {
            uint64_t v = 0;
            for (int i = 0; i < n; ++i)
                v = v << 8 | p[i];
            return v;
        };
        const auto real = [](uint64_t bits, int n) {
            if (n == 4) {
                float f;
                const uint32_t b = uint32_t(bits);
                std::memcpy(&f, &b, 4);
                return double(f);
            }
            double d;
            std::memcpy(&d, &bits, 8);
            return d;
        };
        switch (m_codec) {
        case AV_CODEC_ID_PCM_U8:
            return (double(p[0]) - 128) / 128;
        case AV_CODEC_ID_PCM_S8:
            return double(int8_t(p[0])) / 128;
        case AV_CODEC_ID_PCM_S16LE:
            return double(int16_t(le(2))) / 32768;
        case AV_CODEC_ID_PCM_S16BE:
            return double(int16_t(be(2))) / 32768;
        case AV_CODEC_ID_PCM_S24LE:
            return double(int32_t(uint32_t(le(3)) << 8)) / 2147483648.0;
        case AV_CODEC_ID_PCM_S24BE:
            return double(int32_t(uint32_t(be(3)) << 8)) / 2147483648.0;
        case AV_CODEC_ID_PCM_S32LE:
            return double(int32_t(le(4))) / 2147483648.0;
        case AV_CODEC_ID_PCM_S32BE:
            return double(int32_t(be(4))) / 2147483648.0;
        case AV_CODEC_ID_PCM_F32LE:
        case AV_CODEC_ID_PCM_F64LE:
            return real(le(m_width), m_width);
        case AV_CODEC_ID_PCM_F32BE:
        case AV_CODEC_ID_PCM_F64BE:
            return real(be(m_width), m_width);
        case AV_CODEC_ID_PCM_MULAW:
            return double(mulaw_value(p[0])) / 32768;
        case AV_CODEC_ID_PCM_ALAW:
            return double(alaw_value(p[0])) / 32768;
        default:
            return 0;
        }
    }

    AVCodecID m_codec;
    uint32_t m_block;
    int m_channels;
    int m_width; // bytes of one sample
};

} // namespace

int pcm_block_size(const AVCodecParameters* par)
{
    switch (par->codec_id) {
    case AV_CODEC_ID_PCM_S16LE:
    case AV_CODEC_ID_PCM_S16BE:
    case AV_CODEC_ID_PCM_S24LE:
    case AV_CODEC_ID_PCM_S24BE:
    case AV_CODEC_ID_PCM_S32LE:
    case AV_CODEC_ID_PCM_S32BE:
    case AV_CODEC_ID_PCM_U8:
    case AV_CODEC_ID_PCM_S8:
    case AV_CODEC_ID_PCM_F32LE:
    case AV_CODEC_ID_PCM_F32BE:
    case AV_CODEC_ID_PCM_F64LE:
    case AV_CODEC_ID_PCM_F64BE:
    case AV_CODEC_ID_PCM_MULAW:
    case AV_CODEC_ID_PCM_ALAW:
        break;
    default:
        return 0;
    }
    const int bits = av_get_bits_per_sample(par->codec_id);
    const int channels = par->ch_layout.nb_channels;
    if (bits <= 0 || channels <= 0 || channels > 64)
        return 0;
    return bits / 8 * channels;
}

uint8_t pcm_silence(const AVCodecParameters* par)
{
    switch (par->codec_id) {
    case AV_CODEC_ID_PCM_U8:
        return 0x80;
    case AV_CODEC_ID_PCM_MULAW:
        return 0xff;
    case AV_CODEC_ID_PCM_ALAW:
        return 0xd5;
    default:
        return 0;
    }
}

std::unique_ptr<AudioFramer> make_pcm_framer(const AVCodecParameters* par, int64_t)
{
    if (pcm_block_size(par) <= 0)
        return nullptr;
    return std::make_unique<PcmFramer>(par->codec_id, pcm_block_size(par), par->ch_layout.nb_channels);
}

} // namespace vidmend
