#pragma once

#include "feed.h"
#include "flvtags.h"
#include "wallclock.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ffexe {

// What a capture from a live FLV source hands its writer, from the bytes the
// source sent, as they come:
// - a file begins with the first key picture received: the stream's headers
//   (metadata, sequence headers) are kept until then and go first, the sound
//   before that picture is left out, and nothing waits to be analysed again;
// - every tag's time is put on the wall clock (WallClock);
// - pictures with other parameters (a publisher restarted at another size)
//   end the file when it cannot carry a second set: the next file begins as
//   the first did, with the next key picture.
// A stream that sends no picture for `k_picture_wait` is recorded without.
class LiveFeed : public Feed
{
public:
    using Feed::Feed;

    // A file that waited too long for a picture begins without; at the end, with what came (its sound).
    void feed(const char* data, size_t size, Clock::time_point now) override;
    void tick(Clock::time_point now) override;
    void end() override;
    // Nothing also when nothing came yet.
    std::optional<Clock::time_point> deadline() const override;

private:
    void take(std::string tag, Clock::time_point now);
    void begin_file(const std::string* key);
    void send(std::string bytes);

    size_t m_header_left = flv::k_file_header; // of the source's file header, still to come
    flv::TagReader m_tags;
    WallClock m_clock;
    // What a file begins with: the latest metadata and sequence headers.
    std::string m_script, m_sound_header, m_picture_header;
    std::string m_file_picture_header; // the set the file being written holds
    bool m_writing = false;            // a file has begun and takes the tags as they come
    std::vector<std::string> m_held;   // sound come while waiting for the first picture
    std::optional<Clock::time_point> m_waiting_since;
    bool m_sound = false;
};

} // namespace ffexe
