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
};

} // namespace ffexe
