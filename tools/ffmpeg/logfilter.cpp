#include "logfilter.h"

#include "phrasetable.h"
#include "wallclock.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace ffexe {

namespace {

using namespace std::chrono_literals;

// ffmpeg names a jump once per stream it sees it in; one jump of the source
// reaches the streams within a moment of each other.
constexpr auto k_same_jump = 1000ms;

bool is_level(std::string_view word)
{
    for (const char* level : {"quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug", "trace"}) {
        if (word == level)
            return true;
    }
    return false;
}

bool quiet_level(std::string_view level)
{
    return level == "verbose" || level == "debug" || level == "trace";
}

} // namespace

std::optional<long long> discontinuity_us(std::string_view text)
{
    static constexpr std::string_view head = "timestamp discontinuity for stream";
    if (text.substr(0, head.size()) != head)
        return std::nullopt;
    const size_t colon = text.find("): ");
    if (colon == std::string_view::npos)
        return std::nullopt;
    const std::string rest(text.substr(colon + 3));
    char* end = nullptr;
    const long long delta = std::strtoll(rest.c_str(), &end, 10);
    if (end == rest.c_str() || *end != ',')
        return std::nullopt;
    return delta;
}

std::string LogFilter::take_line(std::string_view line, Clock::time_point now)
{
    // "[name @ 0x...] [level] text": the prefix stays, the level goes.
    const std::string_view text = strip_log_prefix(line);
    const std::string_view prefix = line.substr(0, line.size() - text.size());
    std::string_view level, rest = text;
    if (text.substr(0, 1) == "[") {
        const size_t close = text.find("] ");
        if (close != std::string_view::npos && is_level(text.substr(1, close - 1))) {
            level = text.substr(1, close - 1);
            rest = text.substr(close + 2);
        }
    }
    if (!quiet_level(level))
        return rest.empty() && prefix.empty() ? std::string() : std::string(prefix) + std::string(rest);

    std::optional<long long> jump = discontinuity_us(rest);
    if (!jump)
        jump = wall_clock_jump_us(rest);
    if (!jump)
        return {};
    const bool same = m_last_jump && now - *m_last_jump < k_same_jump;
    m_last_jump = now;
    if (same)
        return {};
    ++m_jumps;
    char said[160];
    std::snprintf(said, sizeof said,
                  "FFmpeg.exe: the stream's time jumped %s by %.2f s (its source restarted?); the recording goes on "
                  "without a break",
                  *jump < 0 ? "back" : "forward", double(std::llabs(*jump)) / 1e6);
    return said;
}

} // namespace ffexe
