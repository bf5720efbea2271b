#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct AVCodecContext;
struct AVCodecParameters;
struct AVFrame;
struct AVPacket;

namespace vidmend {

// Cuts a run of raw AAC frames into frames with libavcodec's decoder. The
// run goes to the decoder as one packet; the decoder hands back one frame per
// raw frame, each carrying the size of the packet still left when it began,
// so consecutive differences are the frames' exact lengths.
class AacSplitter
{
public:
    struct Result
    {
        std::vector<uint32_t> lengths; // frames whose length is certain, from the start of the run
        bool exact = false;            // the frames tile the whole run
        size_t covered = 0;            // bytes taken by `lengths`
    };

    explicit AacSplitter(const AVCodecParameters* par);
    ~AacSplitter();
    AacSplitter(const AacSplitter&) = delete;
    AacSplitter& operator=(const AacSplitter&) = delete;

    bool ok() const { return m_ctx != nullptr; }

    Result split(const uint8_t* data, size_t size);

    // The fallback that does not rely on the sizes the decoder reports: the
    // smallest length from `min` that decodes to exactly one frame without
    // error; 0 if none up to `max`.
    size_t frame_length(const uint8_t* data, size_t size, size_t min, size_t max);

    uint64_t decode_calls() const { return m_calls; }

private:
    void reset();
    int decode(const uint8_t* data, size_t size, std::vector<int>& remaining);

    AVCodecContext* m_ctx = nullptr;
    AVCodecParameters* m_par = nullptr;
    AVPacket* m_pkt = nullptr;
    AVFrame* m_frame = nullptr;
    bool m_dirty = false;
    uint64_t m_errors = 0;
    uint64_t m_calls = 0;
};

} // namespace vidmend
