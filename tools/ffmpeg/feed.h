#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace ffexe {

// What a relayed capture makes of the bytes its feeder reads off the source,
// for the writer: the stream as it comes, begun where a file can begin.
class Feed
{
public:
    using Clock = std::chrono::steady_clock;
    // A stream that sends no picture a file can begin with for this long is recorded from where it is.
    static constexpr std::chrono::seconds k_picture_wait{10};

    // `one_set`: the files hold one set of picture parameters each.
    explicit Feed(bool one_set)
        : m_one_set(one_set)
    {}
    virtual ~Feed() = default;

    // Bytes the source sent, come at `now`.
    virtual void feed(const char* data, size_t size, Clock::time_point now) = 0;
    // Looks at the time: a file that waited too long begins with what there is.
    virtual void tick(Clock::time_point now) = 0;
    // The source has ended: a file still waiting begins with what came.
    virtual void end() = 0;
    // When the wait for what a file begins with gives up; nothing when none waits.
    virtual std::optional<Clock::time_point> deadline() const = 0;

    // Bytes for the file being written.
    std::function<void(std::string bytes)> on_bytes;
    // What follows goes into the next file.
    std::function<void()> on_next_file;
    // The source's time jumped by `ms` (a publisher restarted).
    std::function<void(long long ms)> on_jump;

protected:
    const bool m_one_set;
};

} // namespace ffexe
