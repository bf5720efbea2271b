#pragma once

#include "childprocess.h"
#include "commandline.h"
#include "outputwriter.h"
#include "phrasetable.h"
#include "progressrecord.h"
#include "stopwatcher.h"

namespace ffexe {

// Runs ffmpeg once and translates what it does into the plug-in's contract:
// progress records, error phrases, ffmpeg's own log, and the finish marker
// after a successful end. Ends ffmpeg gently on a stop request.
class Transcoder
{
public:
    Transcoder(std::string program, Invocation invocation);

    // ffmpeg's exit code (127 when it cannot be run).
    int run();

private:
    using Clock = OutputWriter::Clock;
    enum class Stop { None, Asked, Interrupted, InterruptedAgain, Killed };

    void read_stderr();
    void read_progress();
    void advance_stop(Clock::time_point now);

    std::string m_program;
    Invocation m_invocation;
    ChildProcess m_child;
    OutputWriter m_writer;
    ProgressParser m_progress;
    PhraseFinder m_phrases;
    StopWatcher m_watcher;
    Stop m_stop = Stop::None;
    Clock::time_point m_stop_deadline;
};

} // namespace ffexe
