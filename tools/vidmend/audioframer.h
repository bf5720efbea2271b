#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct AVCodecParameters;

namespace vidmend {

// Cuts a run of one audio track's bytes into its frames. Adding an audio
// codec is adding one of these.
class AudioFramer
{
public:
    struct Result
    {
        std::vector<uint32_t> lengths; // frames whose length is certain, from the start of the run
        bool exact = false;            // the frames tile the whole run
        size_t covered = 0;            // bytes taken by `lengths`
    };

    virtual ~AudioFramer() = default;

    virtual Result split(const uint8_t* data, size_t size) = 0;
    // The length of the one frame that begins at `data`; 0 if none does.
    virtual size_t frame_length(const uint8_t* data, size_t size) = 0;
    // A quick test that a frame of this track could begin at `p`.
    virtual bool could_start(const uint8_t* p, size_t avail) const = 0;
    // A closer one, for the search where the data resumes after damage: the
    // frame's first header is as the reference's frames have it.
    virtual bool likely_start(const uint8_t* p, size_t avail) const { return could_start(p, avail); }
    // Samples (per channel) a frame of `bytes` bytes holds.
    virtual int64_t duration(uint32_t bytes) const = 0;
    // Frames of a fixed size: any run splits, so bytes cannot be told from noise.
    virtual bool fixed() const = 0;
    // Whether a sample taken for this track looks like the track's own: a
    // frame that begins as the reference's do, sound rather than coded data.
    virtual bool belongs(const uint8_t* data, size_t size) const = 0;
    virtual uint64_t decode_calls() const { return 0; }
    // Learns from one of the reference's frames.
    virtual void learn(const uint8_t* frame, uint32_t size) = 0;
    // Runs to split may hold other tracks' frames, down to `bytes` long.
    virtual void allow_shorter(uint32_t) {}
};

// Each codec's framer, or null when the track is not of that codec.
// AAC raw data blocks (ISO/IEC 14496-3), cut with libavcodec's decoder.
std::unique_ptr<AudioFramer> make_aac_framer(const AVCodecParameters* par, int64_t frame_samples);
// Linear PCM and G.711: frames of one sample per channel.
std::unique_ptr<AudioFramer> make_pcm_framer(const AVCodecParameters* par, int64_t frame_samples);
// The framer for a track's codec, from the first of the factories above that
// takes it; null when none does.
std::unique_ptr<AudioFramer> make_audio_framer(const AVCodecParameters* par, int64_t frame_samples);
// Bytes per PCM sample frame (all channels), 0 for codecs that are not PCM.
int pcm_block_size(const AVCodecParameters* par);
// The byte a PCM track's silence is made of (G.711 and unsigned forms have no zero at 0).
uint8_t pcm_silence(const AVCodecParameters* par);

} // namespace vidmend
