#pragma once

#include "progressrecord.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVPacket;

namespace ffexe {

// A file read into FLV in this process, at its own pace when asked, its
// streams copied as they are. A push to several destinations reads its file
// once; no second process copies it to us through a pipe, which would cost
// about as much as sending it out again.
class FlvFileSource
{
public:
    using Clock = std::chrono::steady_clock;
    // `sink` takes the FLV bytes: the file header first, then whole tags.
    explicit FlvFileSource(std::function<void(const char*, size_t)> sink);
    ~FlvFileSource();
    FlvFileSource(const FlvFileSource&) = delete;
    FlvFileSource& operator=(const FlvFileSource&) = delete;

    // Opens `file` to be read from `from_ms` (its key picture at or before it)
    // with the best picture and sound streams; false with error() saying why.
    bool open(const std::string& file, long long from_ms, bool realtime);

    enum class State { Due, Ended, Failed };
    // Hands over everything due by `now` (a little ahead, so that it goes in
    // batches); with Due, `next` is when more is due.
    State pump(Clock::time_point now, Clock::time_point& next);
    // How far it has gone, as ffmpeg's progress would say it.
    ProgressBlock progress(Clock::time_point now) const;
    // A line saying what went wrong, in ffmpeg's words.
    const std::string& error() const { return m_error; }

private:
    static int take(void* self, uint8_t* data, int size);
    bool start_output();
    // The next packet to go, kept in m_packet; false at the end or on failure (m_error set).
    bool read_next();
    bool fail(const std::string& what, int code);

    std::function<void(const char*, size_t)> m_sink;
    AVFormatContext* m_in = nullptr;
    AVFormatContext* m_out = nullptr;
    AVPacket* m_packet = nullptr;
    bool m_have_packet = false;
    std::vector<int> m_mapped; // input stream -> output stream, or -1
    int m_video = -1;          // the input's picture stream
    bool m_realtime = true;
    long long m_start_us = 0; // the file's own start
    long long m_from_us = 0;
    long long m_base_us = 0; // the input time that becomes 0
    bool m_based = false;
    bool m_paced = false;
    long long m_first_us = 0; // the first packet's time, and when it went: pace is kept against them
    Clock::time_point m_begun;
    std::string m_error;
    ProgressBlock m_progress;
};

} // namespace ffexe
