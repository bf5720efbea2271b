#pragma once

#include "inputlisting.h"
#include "lines.h"
#include "logfilter.h"
#include "phrasetable.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace ffexe {

class ChildProcess;
class OutputWriter;

// The one reader of an ffmpeg child's log, for every way of running: its
// standard error read as it comes, in whole lines; a recording's passed
// through the filter (LogFilter); forwarded to the plug-in with a phrase of
// ours after the first line that says what went wrong (PhraseFinder), or only
// looked at.
class ChildLog
{
public:
    using Clock = std::chrono::steady_clock;
    enum class Mode {
        Forward,  // as ffmpeg writes it, with phrases
        Filtered, // a recording's debug log through the filter, with phrases
        Quiet,    // nothing goes on: only on_line hears it
    };
    ChildLog(OutputWriter* out, Mode mode);

    // Reads once from the child's log; at its end closes it and takes the last line.
    void read(ChildProcess& child);
    // The lines `data` completes, as read at `now`; returns what went on.
    std::string feed(const char* data, size_t size, Clock::time_point now);
    // The last line, when the log ended without a line break.
    std::string finish(Clock::time_point now);
    // From now on no phrase is added: what ffmpeg says once asked to end is about the interrupt.
    void hush() { m_hushed = true; }
    int jumps() const { return m_filter.jumps(); }

    // Hears each line that goes on (or would, when quiet), without its line break.
    std::function<void(std::string_view line)> on_line;

private:
    std::string take(std::string_view line, char end, Clock::time_point now);

    OutputWriter* m_out;
    Mode m_mode;
    LineSplitter m_lines;
    LogFilter m_filter;
    PhraseFinder m_phrases;
    bool m_hushed = false;
};

} // namespace ffexe
