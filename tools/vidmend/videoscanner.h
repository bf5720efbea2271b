#pragma once

#include "paramsets.h"
#include "slices.h"

#include <cstdint>
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
    SliceHeader first;
    std::optional<SliceHeader> second_field;
    std::vector<std::pair<uint32_t, uint32_t>> param_sets; // offset and size of each in the sample
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

    // A quick test that a sample could begin at `p`, to scan for the next one.
    bool could_start(const uint8_t* p, uint64_t avail) const
    {
        if (avail < uint64_t(m_nls) + 3)
            return false;
        // A sample cut off by the end of the data still counts here; probe() tells.
        const uint32_t len = be_len(p);
        if (len < 2 || len > m_max)
            return false;
        const uint8_t* nal = p + m_nls;
        if (m_codec == VideoCodec::H264) {
            const int type = nal[0] & 0x1f;
            if (nal[0] & 0x80)
                return false;
            return (type >= 6 && type <= 9) || ((type == 1 || type == 5) && (nal[1] & 0x80));
        }
        if ((nal[0] & 0x81) || (nal[1] & 0xf8) || !(nal[1] & 7))
            return false;
        const int type = nal[0] >> 1;
        return (type >= 32 && type <= 35) || type == 39 ||
               ((type <= 9 || (type >= 16 && type <= 21)) && (nal[2] & 0x80));
    }

    // Takes a probed sample into the stream and returns its picture order.
    PictureOrder accept(const uint8_t* p, const VideoCandidate& c);

    // Leading bytes of every sample start that must be zero: a length prefix
    // wider than the largest sample needs. Lets a search skip to zero bytes.
    int zero_prefix() const
    {
        int bytes = 0;
        while (bytes < m_nls && (uint64_t(m_max) >> (8 * (m_nls - 1 - bytes))) == 0)
            ++bytes;
        return bytes;
    }

    VideoCodec codec() const { return m_codec; }
    int nal_length_size() const { return m_nls; }
    uint32_t max_sample() const { return m_max; }

private:
    enum class Role { Slice, Start, ParamSet, Trailer, Invalid };

    uint32_t be_len(const uint8_t* p) const
    {
        uint32_t v = 0;
        for (int i = 0; i < m_nls; ++i)
            v = v << 8 | p[i];
        return v;
    }
    Role role(const uint8_t* nal, uint32_t size, bool whole = true) const;
    bool parse_slice(const uint8_t* nal, uint32_t size, const ParamSets& sets, bool full, SliceHeader& out) const;

    VideoCodec m_codec;
    int m_nls;
    uint32_t m_max;
    uint32_t m_usual;
    ParamSets m_sets;
    ParamSets m_trial;
    H264Poc m_h264_poc;
    HevcPoc m_hevc_poc;
};

} // namespace vidmend
