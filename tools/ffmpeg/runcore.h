#pragma once

#include "childlog.h"
#include "commandline.h"
#include "outputwriter.h"
#include "pollset.h"
#include "progressrecord.h"
#include "segments.h"
#include "stopsequence.h"

#include "protocol/command.h"

#include <optional>
#include <string>

namespace ffexe {

class ChildProcess;

// What a plain run and a relay share around their ffmpegs: our standard
// output, the stop (a stop signal, or the capture's stop request) and its
// sequence of asking, ffmpeg's progress turned into records, and, once
// ffmpeg has ended, the recording completed and the finish marker.
class RunCore
{
public:
    using Clock = OutputWriter::Clock;

    explicit RunCore(const Invocation& invocation);

    OutputWriter& out() { return m_out; }
    // Before the first child starts: the stop signals are caught from here on.
    void begin();
    // The next step of the stop at `now`, applied to `asked` (the child that
    // takes "q" and interrupts); a kill ends `others` as well.
    void stop_step(ChildProcess& asked, ChildProcess* other = nullptr);
    bool stopping() const { return m_stop.started(); }
    // Waits for what `poll` watches, the output due, the stop's next step and
    // the next look for the stop request, then runs what is ready.
    void wait(PollSet& poll);

    // Looks at the source's log for its first listing: when that shows no video and `longer` is true, the
    // source is to be analysed again, for longer (take_retry).
    void follow_listing(ChildLog& log, bool longer);
    // The listing asked for the longer analysis; it is said, and the next attempt's progress starts afresh.
    bool take_retry();

    // Reads ffmpeg's progress pipe and passes it on as records.
    void read_progress(ChildProcess& child);

    // Once the children have ended with `code`: the recording completed and
    // said, the finish marker after a success, everything written. The
    // run's exit code.
    int end(int code);

private:
    void complete_segments(bool ended);
    // Removes a recording that holds no media; false when this run records nothing.
    bool drop_empty_recording();

    const Invocation& m_invocation;
    OutputWriter m_out;
    sigset_t m_waiting_mask;
    std::string m_stop_path; // empty: the temporary folder is refused
    protocol::StopRequestWatcher m_watcher;
    StopSequence m_stop;
    ProgressParser m_progress;
    std::optional<SegmentTracker> m_segments;
    bool m_media_written = false; // ffmpeg reported a frame or a time past the start
    InputListing m_listing;
    bool m_retry = false;
};

} // namespace ffexe
