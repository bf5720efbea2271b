#pragma once

#include "childprocess.h"
#include "commandline.h"
#include "inputlisting.h"
#include "logfilter.h"
#include "outputwriter.h"
#include "phrasetable.h"
#include "progressrecord.h"
#include "segments.h"
#include "stopsequence.h"

#include "protocol/command.h"

#include <memory>
#include <optional>

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

    void read_stderr(ChildProcess& child);
    bool relaying() const { return !m_invocation.feeder_args.empty(); }
    void read_progress();
    // ffmpeg's log as the plug-in sees it: phrases added, and filtered when asked.
    std::string take_log(const char* data, size_t size, LogFilter* filter, PhraseFinder& phrases);
    void finish_logs();
    void add_phrase(protocol::Outcome phrase);
    // Removes a recording that holds no media; false when this run records nothing.
    bool drop_empty_recording();
    void act(StopSequence::Action action);
    bool start(const std::vector<std::string>& args, const std::vector<std::string>& feeder_args);
    void retry_for_video();
    // Makes the completed files of a cut recording whole and durable.
    void complete_segments(bool ended);

    std::string m_program;
    Invocation m_invocation;
    std::unique_ptr<ChildProcess> m_child;
    std::unique_ptr<ChildProcess> m_feeder; // when relaying: the ffmpeg that reads the source
    OutputWriter m_writer;
    ProgressParser m_progress;
    PhraseFinder m_phrases;
    InputListing m_listing;
    LogFilter m_log_filter;        // the source reader's log, when filtered
    LogFilter m_writer_lines;      // when relaying: the writer's log, in whole lines
    PhraseFinder m_writer_phrases; // and its phrases
    std::string m_stop_path;       // empty: the temporary folder is refused
    protocol::StopRequestWatcher m_watcher;
    StopSequence m_stop;
    std::optional<SegmentTracker> m_segments;
    bool m_media_written = false; // ffmpeg reported a frame or a time past the start
};

} // namespace ffexe
