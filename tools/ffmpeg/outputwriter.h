#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace ffexe {

// The only writer of our standard output. The plug-in reads its input in
// chunks and looks at nothing else in a chunk that begins with a progress
// record, and takes a chunk for a record only when the record begins it. So
// a record and any other text (ffmpeg's log, phrases, the finish marker) never
// go out closer together than a gap, in either order, and every item goes out
// in one write.
// The clock the writer waits by; tests replace it.
struct WriterTime
{
    std::function<std::chrono::steady_clock::time_point()> now = [] { return std::chrono::steady_clock::now(); };
    std::function<void(std::chrono::steady_clock::time_point)> sleep_until =
        [](std::chrono::steady_clock::time_point t) { std::this_thread::sleep_until(t); };
};

class OutputWriter
{
public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(const std::string&)>;
    explicit OutputWriter(Sink sink, std::chrono::milliseconds gap = std::chrono::milliseconds(200),
                          WriterTime time = {});

    // Until the first record has gone out, text waits up to `wait` for it, and
    // the record goes first. ffmpeg lists its streams just before its first
    // record; written at once, that listing would hold the record back a gap,
    // and a recording's clock with it.
    void put_first_record_first(std::chrono::milliseconds wait) { m_first_record_wait = wait; }

    // A record still waiting is replaced by a newer one: only the latest position matters.
    void add_progress(std::string record);
    void add_text(std::string text);

    // Writes what is due at `now`; returns when the next item is due, or nothing once all is written.
    std::optional<Clock::time_point> flush(Clock::time_point now);
    // Writes everything, waiting where the gap demands it.
    void drain();

private:
    struct Item
    {
        bool progress;
        std::string bytes;
        Clock::time_point added;
    };
    // While the first record is awaited: when the queue's next item is due, or nothing when it is due now.
    std::optional<Clock::time_point> before_first_record(Clock::time_point now);

    Sink m_sink;
    std::chrono::milliseconds m_gap;
    std::chrono::milliseconds m_first_record_wait{0};
    WriterTime m_time;
    std::deque<Item> m_queue;
    std::optional<Clock::time_point> m_last_progress;
    std::optional<Clock::time_point> m_last_text;
};

// Writes all of `bytes` to `fd` (one call unless the pipe takes less).
void write_all(int fd, const std::string& bytes);

} // namespace ffexe
