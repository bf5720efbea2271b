#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace ffexe {

// A recording runs ffmpeg with its log levels shown and at debug level, only
// to hear when the source's time stamps jump (a publisher that restarted
// starts again from zero) and ffmpeg moves them back in line. This passes on
// what ffmpeg says at its usual level, without the level tags, and turns each
// such jump into one line of our own.
class LogFilter
{
public:
    using Clock = std::chrono::steady_clock;

    // What goes on of one line of the log; empty when nothing does.
    std::string take_line(std::string_view line, Clock::time_point now);
    int jumps() const { return m_jumps; }

private:
    std::optional<Clock::time_point> m_last_jump;
    int m_jumps = 0;
};

// ffmpeg's line about a jump it evened out, "timestamp discontinuity ...: DELTA,
// new offset= ..."; the jump in microseconds, or nothing for any other line.
std::optional<long long> discontinuity_us(std::string_view text);

} // namespace ffexe
