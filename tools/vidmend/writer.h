#pragma once

#include "reference.h"
#include "walker.h"

#include <functional>

extern "C" {
#include <libavutil/rational.h>
}
#include <string>
#include <vector>

struct AVFormatContext;
struct AVPacket;

namespace vidmend {

// Writes the recovered samples as an MP4 with libavformat's muxer, one track
// per video and audio track of the reference, in the reference's order.
class Mp4Writer
{
public:
    // written and total samples; false stops the writing
    using Progress = std::function<bool(uint64_t, uint64_t)>;

    Mp4Writer() = default;
    ~Mp4Writer();
    Mp4Writer(const Mp4Writer&) = delete;
    Mp4Writer& operator=(const Mp4Writer&) = delete;

    bool open(const std::string& path, const Reference& ref, std::string& error);
    // Samples are given in file order; `data` is the damaged file's bytes.
    bool write_all(const std::vector<Sample>& samples, const uint8_t* data, const Progress& progress,
                   std::string& error);
    bool finish(std::string& error);

    bool stopped() const { return m_stopped; }

private:
    void close();
    // Silence for the time a PCM track lost before `s`.
    bool fill_gap(const Sample& s, AVPacket* pkt, std::string& error);

    AVFormatContext* m_ctx = nullptr;
    std::vector<int> m_stream_of_track; // output stream per reference track, -1 for skipped ones
    std::vector<int64_t> m_duration_of_track;
    std::vector<AVRational> m_time_base_of_track;
    // PCM tracks: bytes per sample frame, the byte of silence and where the
    // last sample ended. Their sample tables hold no times, only byte counts,
    // so time lost to damage is written as silence to keep the sound in place.
    std::vector<int> m_pcm_block;
    std::vector<uint8_t> m_silence;
    std::vector<int> m_sample_rate;
    std::vector<int64_t> m_next_pts;
    bool m_header_written = false;
    bool m_stopped = false;
};

} // namespace vidmend
