#include "audioframer.h"

namespace vidmend {

namespace {

using MakeFramer = std::unique_ptr<AudioFramer> (*)(const AVCodecParameters*, int64_t);

// Adding an audio codec is adding its factory here.
const MakeFramer k_audio_codecs[] = {make_aac_framer, make_pcm_framer};

} // namespace

std::unique_ptr<AudioFramer> make_audio_framer(const AVCodecParameters* par, int64_t frame_samples)
{
    for (MakeFramer make : k_audio_codecs)
        if (std::unique_ptr<AudioFramer> framer = make(par, frame_samples))
            return framer;
    return nullptr;
}

} // namespace vidmend
