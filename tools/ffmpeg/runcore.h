#pragma once

#include "childlog.h"
#include "commandline.h"
#include "outputwriter.h"
#include "pollset.h"
#include "progressrecord.h"
#include "recording.h"
#include "stopsequence.h"

#include "protocol/command.h"

#include <optional>
#include <string>

namespace ffexe {

class ChildProcess;

// Whether the HLS playlist at a url says it is complete, read within a time-out.
using PlaylistCheck = bool (*)(const std::string& url, long long timeout_us);

// What a plain run and a relay share around their ffmpegs: our standard
// output, the stop (a stop signal, or the capture's stop request) and its
// sequence of asking, ffmpeg's progress turned into records, and, once
// ffmpeg has ended, the recording completed and the finish marker.
class RunCore
{
public:
    using Clock = OutputWriter::Clock;

    // Without a `playlist_check`, a recorded playlist ends as ffmpeg says.
    explicit RunCore(const Invocation& invocation, PlaylistCheck playlist_check = nullptr);

    OutputWriter& out() { return m_out; }
    // Before the first child starts: the stop signals are caught from here on.
    void begin();
    // The next step of the stop at `now`, applied to `asked` (the child that
    // takes "q" and interrupts); a kill ends `others` as well.
    void stop_step(ChildProcess& asked, const std::vector<ChildProcess*>& others = {});
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
    void read_progress(ChildProcess& child) { read_progress(child, m_progress, m_recording, true); }
    // The same for an ffmpeg recording `recording`, read by `parser`; passed on when `forward`.
    void read_progress(ChildProcess& child, ProgressParser& parser, Recording& recording, bool forward);
    const Recording& recording() const { return m_recording; }
    // The recording goes on in `next`: the one before, for its ffmpeg to end, is returned.
    Recording switch_recording(Recording next);

    // Once the children have ended with `code`: the recording completed and
    // said, the finish marker after a success, everything written. The
    // run's exit code.
    int end(int code);

private:
    const Invocation& m_invocation;
    PlaylistCheck m_playlist_check;
    OutputWriter m_out;
    sigset_t m_waiting_mask;
    std::string m_stop_path; // empty: the temporary folder is refused
    protocol::StopRequestWatcher m_watcher;
    StopSequence m_stop;
    ProgressParser m_progress;
    Recording m_recording;
    InputListing m_listing;
    bool m_retry = false;
};

} // namespace ffexe
