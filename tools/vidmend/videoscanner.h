#pragma once

#include "paramsets.h"
#include "videosyntax.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace vidmend {

// A video sample found at some offset, not yet taken into the stream.
struct VideoCandidate
{
    uint32_t size = 0;
    bool key = false;
    bool cut = false;     // a NAL unit of it runs past the end of the data
    int slices = 0;       // VCL NAL units
    bool trailer = false; // NAL units after the last slice
    bool end_of_sequence = false;
    uint64_t nal_types = 0;  // one bit per NAL unit type in it
    uint8_t slice_kinds = 0; // one bit per slice type in it
    uint32_t largest_nal = 0;
    SliceHeader first;
    std::optional<SliceHeader> second_field;
    std::vector<std::pair<uint32_t, uint32_t>> param_sets; // offset and size of each in the sample
};

// What a stream's samples look like: learnt from the reference's samples and
// from those accepted, so that a sample found after damage can be held
// against it.
struct VideoProfile
{
    uint64_t nal_types = 0;
    uint8_t slice_kinds = 0;
    uint32_t largest_nal = 0;
    uint32_t largest_key = 0;
    uint32_t largest_other = 0;

    void learn(const VideoCandidate& c);
    // The largest sample believable after damage: room for a key frame
    // twice the largest seen, or an ordinary picture four times so.
    uint32_t cap() const;
};

// Recognises video samples: a chain of length-prefixed NAL units with valid
// headers that begins a new picture and ends where the next one begins or
// where the chain breaks. Parameter sets come from the reference and from
// samples that were accepted, never from bytes that were only tried.
class VideoScanner
{
public:
    // Samples run to at most `max_sample` bytes; one cut off by the end of
    // the data is taken for one only up to `usual_sample` bytes.
    VideoScanner(const DecoderConfig& config, uint32_t max_sample, uint32_t usual_sample);

    // Whether a sample begins at `p` (with `avail` bytes to the end of the data).
    // A sample cut off by the end of the data is refused with `cut` set.
    bool probe(const uint8_t* p, uint64_t avail, VideoCandidate& out);

    // Whether a probed sample fits what the stream has shown so far: its NAL
    // unit and slice types, and sizes. Asked of samples found after damage.
    bool plausible(const VideoCandidate& c) const;

    // A quick test that a sample could begin at `p`, to scan for the next one.
    bool could_start(const uint8_t* p, uint64_t avail) const
    {
        if (avail < uint64_t(m_nls) + 3)
            return false;
        if (m_delimited)
            return m_syntax->could_start(p);
        // A sample cut off by the end of the data still counts here; probe() tells.
        const uint32_t len = be_len(p);
        return len >= 2 && len <= m_max && m_syntax->could_start(p + m_nls);
    }

    // Takes a probed sample into the stream and returns its picture order.
    PictureOrder accept(const uint8_t* p, const VideoCandidate& c);

    // Learns from a healthy sample (the reference's) without taking it into the stream.
    void learn(const uint8_t* p, uint32_t size);

    // Leading bytes of every sample start that must be zero: a length prefix
    // wider than the largest sample needs. Lets a search skip to zero bytes.
    int zero_prefix() const
    {
        int bytes = 0;
        while (bytes < m_nls && (uint64_t(m_max) >> (8 * (m_nls - 1 - bytes))) == 0)
            ++bytes;
        return bytes;
    }

    VideoCodec codec() const { return m_syntax->codec(); }
    int nal_length_size() const { return m_nls; }
    uint32_t max_sample() const { return m_max; }
    const VideoProfile& profile() const { return m_profile; }

private:
    bool probe_delimited(const uint8_t* p, uint64_t avail, VideoCandidate& out) const;

    uint32_t be_len(const uint8_t* p) const
    {
        uint32_t v = 0;
        for (int i = 0; i < m_nls; ++i)
            v = v << 8 | p[i];
        return v;
    }

    std::unique_ptr<VideoSyntax> m_syntax;
    bool m_delimited;
    int m_nls;
    uint32_t m_max;
    uint32_t m_usual;
    std::unique_ptr<ParamSets> m_sets;
    std::unique_ptr<ParamSets> m_trial;
    VideoProfile m_profile;
};

} // namespace vidmend
