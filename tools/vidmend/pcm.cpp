// Linear PCM and G.711 in mov/mp4: every sample frame (one sample per
// channel) has the same size, so a run of audio bytes splits exactly.
#include "audioframer.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vidmend {

namespace {

class PcmFramer : public AudioFramer
{
public:
    explicit PcmFramer(int block)
        : m_block(uint32_t(block))
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

private:
    uint32_t m_block;
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

std::unique_ptr<AudioFramer> make_pcm_framer(const AVCodecParameters* par)
{
    return std::make_unique<PcmFramer>(pcm_block_size(par));
}

} // namespace vidmend
