#include "runcore.h"

#include "childprocess.h"

#include "protocol/transcoder.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>
#include <utility>

namespace ffexe {

namespace {

using namespace std::chrono_literals;

// How often the stop-request file is looked for.
constexpr auto k_watch_period = 50ms;

volatile sig_atomic_t g_stop_signal = 0;

void on_stop_signal(int)
{
    g_stop_signal = 1;
}

// Signals that ask us to end are blocked except while waiting in ppoll, so
// none slips in between the check and the wait. Returns the mask to wait with.
sigset_t install_signal_handling()
{
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &action, nullptr);
        sigaddset(&stop_signals, sig);
    }
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, &stop_signals, &waiting);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(&waiting, sig);
    return waiting;
}

} // namespace

RunCore::RunCore(const Invocation& invocation, PlaylistCheck playlist_check)
    : m_invocation(invocation)
    , m_playlist_check(playlist_check)
    , m_out([](const std::string& bytes) { write_all(STDOUT_FILENO, bytes); })
    , m_stop_path(invocation.network_input ? protocol::stop_request_path() : std::string())
    , m_watcher(m_stop_path)
    , m_recording(invocation)
{
    sigemptyset(&m_waiting_mask);
    // The capture window's clock starts with the first record.
    if (invocation.recording)
        m_out.put_first_record_first(std::chrono::milliseconds(300));
}

void RunCore::begin()
{
    m_waiting_mask = install_signal_handling();
    if (m_invocation.network_input && m_stop_path.empty()) {
        // Said without the system's error text, which could read like one of the phrases.
        m_out.add_text("FFmpeg.exe: the temporary folder is not usable, so no stop request can reach this capture\n");
    }
}

void RunCore::stop_step(ChildProcess& asked, const std::vector<ChildProcess*>& others)
{
    const auto now = Clock::now();
    StopSequence::Action action = m_stop.due(now);
    // The stop request is a capture's: a conversion or a push of a local file runs on to its end.
    if (!m_stop.started() && (g_stop_signal || (m_invocation.network_input && m_watcher.requested())))
        action = m_stop.begin(now);
    // An ffmpeg that has ended needs no more asking, and its pid may be reused.
    if (action == StopSequence::Action::None || asked.has_ended())
        return;
    switch (action) {
    case StopSequence::Action::Quit:
        asked.write_stdin("q", 1);
        break;
    case StopSequence::Action::Interrupt:
        asked.send_signal(SIGINT);
        break;
    case StopSequence::Action::Kill:
        asked.send_signal(SIGKILL);
        for (ChildProcess* other : others)
            other->send_signal(SIGKILL);
        break;
    case StopSequence::Action::None:
        break;
    }
}

void RunCore::wait(PollSet& poll)
{
    m_recording.complete_segments(m_out, false);
    const auto now = Clock::now();
    if (const std::optional<Clock::time_point> due = m_out.flush(now))
        poll.wake_by(*due);
    if (const auto deadline = m_stop.deadline())
        poll.wake_by(*deadline);
    else if (!m_stop.started() && m_invocation.network_input)
        poll.wake_by(now + k_watch_period);
    poll.wait(&m_waiting_mask);
}

void RunCore::follow_listing(ChildLog& log, bool longer)
{
    log.on_line = [this, longer](std::string_view line) {
        if (longer && !m_stop.started() && m_listing.take_line(line) == InputListing::Verdict::NoVideo)
            m_retry = true;
    };
}

bool RunCore::take_retry()
{
    if (!std::exchange(m_retry, false))
        return false;
    m_progress = ProgressParser();
    m_out.add_text("FFmpeg.exe: no video in the first second of the stream; analysing it for longer\n");
    return true;
}

void RunCore::read_progress(ChildProcess& child, ProgressParser& parser, Recording& recording, bool forward)
{
    const std::optional<std::string> chunk = read_chunk(child.progress_fd(), 4096);
    if (!chunk) {
        child.close_progress();
        return;
    }
    for (const ProgressBlock& block : parser.feed(chunk->data(), chunk->size())) {
        recording.note(block);
        // The last block would only hold up the finish marker by the gap. A recording's
        // block before anything is written says nothing, and would hold up the text after it
        // and so its first picture's record, which starts the capture's clock.
        const bool empty = block.frame == 0 && block.out_time_us <= 0 && !recording.current().empty();
        if (forward && !block.end && !empty)
            m_out.add_progress(format_record(block));
    }
}

Recording RunCore::switch_recording(Recording next)
{
    m_progress = ProgressParser();
    return std::exchange(m_recording, std::move(next));
}

int RunCore::end(int code)
{
    // ffmpeg ends a playlist that stopped growing as it ends one that is complete; only the
    // second is the end of the stream, the first is a drop.
    if (code == 0 && !m_invocation.hls_playlist.empty() && m_playlist_check && !m_stop.started() && !g_stop_signal &&
        !m_playlist_check(m_invocation.hls_playlist, k_read_timeout_us)) {
        m_out.add_text("FFmpeg.exe: the playlist stopped growing before its end: the stream dropped\n");
        code = 1;
    }
    // A recording that holds nothing is removed: the plug-in finds no file and says that nothing arrived.
    m_recording.finish(m_out);
    // Only now is the output file complete.
    if (code == 0)
        m_out.add_text(protocol::write_finish());
    m_out.drain();
    return code;
}

} // namespace ffexe
