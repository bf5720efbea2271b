#pragma once

#include "flvtags.h"
#include "outputwriter.h"
#include "sender.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ffexe {

// The media of a push read once and sent to several destinations, each over
// its connection of its own (Sender), each told apart to the plug-in by
// destination records. A destination takes the stream from its start, or,
// joining later (tried again, or after its queue overflowed), from the next
// key picture with the stream's headers sent again, its times counted from
// there. One that goes down stays down until tried again.
class FanOut
{
public:
    FanOut(std::vector<protocol::PushTarget> targets, long long timeout_us, OutputWriter& out);
    ~FanOut();
    FanOut(const FanOut&) = delete;
    FanOut& operator=(const FanOut&) = delete;

    // Every destination connects.
    void begin();
    // The stream's FLV bytes as they come, split anywhere.
    void feed(const char* data, size_t size);
    // Destination `destination` connects again; one still running is left as it is.
    void again(int destination);
    // Readable when a destination has news; report() reads it.
    int news_fd() const { return m_news[0]; }
    // Writes the destination records of what happened since last time.
    void report();
    // The stream has ended: each destination sends what it has and ends, by `deadline` at the latest.
    void finish(std::chrono::steady_clock::time_point deadline);

private:
    struct Way
    {
        std::unique_ptr<Sender> sender;
        bool fresh = true; // a new connection: its times start at the tag it joins at
        bool joined = false;
        bool from_start = false; // takes the stream from its first tag
        long long offset = 0;    // the stream's time at which this connection's began
    };
    void start(Way& way);
    void pass(const std::string& tag);
    // What a destination joining at `tag` gets first.
    std::string join(Way& way, const std::string& tag) const;

    std::vector<Way> m_ways;
    OutputWriter& m_out;
    int m_news[2] = {-1, -1};
    std::string m_header;
    flv::TagReader m_tags;
    bool m_media = false; // a picture or a sound has gone by
    std::string m_meta, m_video_head, m_audio_head;
};

// Reads once from our standard input, the plug-in's lines, into `received`:
// each "again" goes to `fan` (when there is one), each answer to `answer`.
// False at the end of the input.
bool read_push_input(std::string& received, FanOut* fan, const std::function<void(const std::string&)>& answer);

} // namespace ffexe
