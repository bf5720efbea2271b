#pragma once

#include "protocol/command.h"
#include "protocol/transcoder.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ffexe {

// One destination of a push to several at once: its own connection, made and
// fed on a thread of its own from its own queue, so that a destination that
// is slow, refuses or goes away holds up nothing but itself. It takes FLV:
// rtmp and rtmps as messages of our own connection, SRT remuxed into MPEG-TS. A connection runs from
// begin() until it goes down or is ended; begin() again makes a new one.
class Sender
{
public:
    // What became of the connection, in order.
    struct News
    {
        bool on_air = false;                  // else it went down
        std::optional<protocol::Outcome> why; // down: what went wrong; none: the connection was lost
    };

    // `wake` is called from the sender's thread when it has news.
    Sender(protocol::PushTarget target, long long timeout_us, std::function<void()> wake);
    ~Sender();

    // The stream's FLV file header, sent first on every connection; set before anything is pushed.
    void set_header(std::string header);
    // A new connection, its queue empty; a connection still running is ended first.
    void begin();
    // Begun and not gone down.
    bool running() const { return m_running; }
    // Queues FLV tags; false when that would pass the queue's bound: the
    // queue is emptied instead, and the tags after it must begin at a key picture.
    bool push(const std::string& tags);
    // Nothing more comes: what is queued goes out, then the connection ends well.
    void finish();
    // The connection has ended (or was never made).
    bool done();
    // Ends the connection at once.
    void end();
    std::vector<News> take_news();
    // A line of ffmpeg's log about this connection.
    void heard(const char* line);

private:
    static int interrupted(void* self);
    bool srt() const { return m_target.address.rfind("srt://", 0) == 0; }
    void run();
    int run_flv();
    int run_ts();
    // Waits for queued bytes and takes them, for `at_most` when given (true
    // with nothing taken when none came); false once there will be none.
    bool take(std::string& bytes, std::optional<std::chrono::milliseconds> at_most = std::nullopt);
    // Up to `size` queued bytes, for the remuxer; AVERROR_EOF once there will be none.
    int take_some(unsigned char* buf, int size);
    void arm();
    void tell(News news);

    protocol::PushTarget m_target;
    long long m_timeout_us;
    std::function<void()> m_wake;
    std::string m_header;

    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_deadline_ns{0}; // a blocking call is given up after it
    std::mutex m_mutex;
    std::condition_variable m_more;
    std::string m_queue;
    bool m_finishing = false;
    bool m_header_due = false; // the connection has not taken the file header yet
    bool m_done = true;
    std::vector<News> m_news;
    // The sender's thread's own.
    std::optional<protocol::Outcome> m_heard; // the first outcome ffmpeg's log named
    std::string m_leftover;                   // taken, not yet read by the remuxer
    bool m_on_air = false;
};

} // namespace ffexe
