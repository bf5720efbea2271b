#include "runcore.h"

#include "childprocess.h"
#include "mp4finish.h"
#include "playlistend.h"

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

RunCore::RunCore(const Invocation& invocation)
    : m_invocation(invocation)
    , m_out([](const std::string& bytes) { write_all(STDOUT_FILENO, bytes); })
    , m_stop_path(invocation.network_input ? protocol::stop_request_path() : std::string())
    , m_watcher(m_stop_path)
{
    sigemptyset(&m_waiting_mask);
    if (invocation.segments)
        m_segments.emplace(*invocation.segments);
}

void RunCore::begin()
{
    m_waiting_mask = install_signal_handling();
    if (m_invocation.network_input && m_stop_path.empty()) {
        // Said without the system's error text, which could read like one of the phrases.
        m_out.add_text("FFmpeg.exe: the temporary folder is not usable, so no stop request can reach this capture\n");
    }
}

void RunCore::stop_step(ChildProcess& asked, ChildProcess* other)
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
        if (other)
            other->send_signal(SIGKILL);
        break;
    case StopSequence::Action::None:
        break;
    }
}

void RunCore::wait(PollSet& poll)
{
    complete_segments(false);
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

void RunCore::read_progress(ChildProcess& child)
{
    const std::optional<std::string> chunk = read_chunk(child.progress_fd(), 4096);
    if (!chunk) {
        child.close_progress();
        return;
    }
    for (const ProgressBlock& block : m_progress.feed(chunk->data(), chunk->size())) {
        if (block.frame > 0 || block.out_time_us > 0)
            m_media_written = true;
        // The last block would only hold up the finish marker by the gap.
        if (!block.end)
            m_out.add_progress(format_record(block));
    }
}

int RunCore::end(int code)
{
    // ffmpeg ends a playlist that stopped growing as it ends one that is complete; only the
    // second is the end of the stream, the first is a drop.
    if (code == 0 && !m_invocation.hls_playlist.empty() && !m_stop.started() && !g_stop_signal &&
        !playlist_ended(m_invocation.hls_playlist, k_read_timeout_us)) {
        m_out.add_text("FFmpeg.exe: the playlist stopped growing before its end: the stream dropped\n");
        code = 1;
    }
    if (!m_media_written && drop_empty_recording()) {
        // Nothing to finish: the plug-in finds no file and says that nothing arrived.
    } else {
        if (!m_invocation.finish_mp4.empty()) {
            std::string error;
            if (finish_fragmented_mp4(m_invocation.finish_mp4, &error) == Mp4Finish::Failed)
                m_out.add_text("FFmpeg.exe: the recording stays a fragmented MP4: " + error + "\n");
        }
        complete_segments(true);
        const std::string& output = m_invocation.sync_output;
        if (!output.empty() && !sync_to_disk(output))
            m_out.add_text("FFmpeg.exe: the recording could not be forced to the disk\n");
        if (!output.empty() && ::access(output.c_str(), F_OK) == 0)
            m_out.add_text(protocol::write_file_done(output));
    }
    // Only now is the output file complete.
    if (code == 0)
        m_out.add_text(protocol::write_finish());
    m_out.drain();
    return code;
}

void RunCore::complete_segments(bool ended)
{
    if (!m_segments)
        return;
    const SegmentPlan& plan = *m_invocation.segments;
    for (int n : m_segments->completed(ended)) {
        std::string path = plan.written(n);
        std::string error;
        if (plan.fragmented && finish_fragmented_mp4(path, &error) == Mp4Finish::Failed)
            m_out.add_text("FFmpeg.exe: " + path + " stays a fragmented MP4: " + error + "\n");
        if (plan.final_name(n) != path && std::rename(path.c_str(), plan.final_name(n).c_str()) == 0)
            path = plan.final_name(n);
        if (!sync_to_disk(path))
            m_out.add_text("FFmpeg.exe: " + path + " could not be forced to the disk\n");
        m_out.add_text(protocol::write_file_done(path));
    }
}

bool RunCore::drop_empty_recording()
{
    // Only a recording's: a conversion's output is ffmpeg's business.
    std::string path = m_invocation.sync_output;
    if (m_invocation.segments)
        path = m_invocation.segments->written(m_invocation.segments->first);
    if (path.empty())
        return false;
    // A file with headers only (ffmpeg writes them before the first key frame) does not play.
    if (std::remove(path.c_str()) == 0)
        m_out.add_text("FFmpeg.exe: nothing was recorded; " + path + " is removed\n");
    return true;
}

} // namespace ffexe
