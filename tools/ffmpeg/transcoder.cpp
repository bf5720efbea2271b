#include "transcoder.h"

#include "mp4finish.h"
#include "playlistend.h"
#include "protocol/transcoder.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

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

Transcoder::Transcoder(std::string program, Invocation invocation)
    : m_program(std::move(program))
    , m_invocation(std::move(invocation))
    , m_writer([](const std::string& bytes) { write_all(STDOUT_FILENO, bytes); })
    , m_stop_path(stop_request_path())
    , m_watcher(m_stop_path)
{
    if (m_invocation.segments)
        m_segments.emplace(*m_invocation.segments);
}

int Transcoder::run()
{
    const sigset_t waiting_mask = install_signal_handling();
    if (!start(m_invocation.args))
        return 127;
    if (m_invocation.network_input && m_stop_path.empty()) {
        // Said without the system's error text, which could read like one of the phrases.
        m_writer.add_text("FFmpeg.exe: the temporary folder is not usable, so no stop request can reach this "
                          "capture\n");
    }

    while (m_child->stderr_fd() >= 0 || m_child->progress_fd() >= 0) {
        auto now = Clock::now();
        if (!m_stop.started() && (g_stop_signal || (m_invocation.network_input && m_watcher.requested())))
            act(m_stop.begin(now));
        else
            act(m_stop.due(now));
        complete_segments(false);

        std::optional<Clock::time_point> wake = m_writer.flush(now);
        auto earliest = [&wake](Clock::time_point t) { wake = wake ? std::min(*wake, t) : t; };
        if (const auto deadline = m_stop.deadline())
            earliest(*deadline);
        else if (!m_stop.started() && m_invocation.network_input)
            earliest(now + k_watch_period);

        pollfd fds[2] = {{m_child->stderr_fd(), POLLIN, 0}, {m_child->progress_fd(), POLLIN, 0}};
        timespec timeout;
        timespec* timeout_ptr = nullptr;
        if (wake) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(*wake - now, 0ns)).count();
            timeout = {time_t(ns / 1000000000), long(ns % 1000000000)};
            timeout_ptr = &timeout;
        }
        if (ppoll(fds, 2, timeout_ptr, &waiting_mask) < 0)
            continue; // a stop signal; handled at the top
        const ChildProcess* polled = m_child.get();
        if (fds[0].revents)
            read_stderr();
        if (fds[1].revents && m_child.get() == polled) // not after a retry: the poll was of the old run
            read_progress();
    }

    if (m_invocation.filter_log)
        take_log(nullptr, 0);
    for (const protocol::Outcome phrase : m_phrases.finish())
        add_phrase(phrase);
    int code = m_child->wait();
    // ffmpeg ends a playlist that stopped growing as it ends one that is complete; only the
    // second is the end of the stream, the first is a drop.
    if (code == 0 && !m_invocation.hls_playlist.empty() && !m_stop.started() && !g_stop_signal &&
        !playlist_ended(m_invocation.hls_playlist, k_read_timeout_us)) {
        m_writer.add_text("FFmpeg.exe: the playlist stopped growing before its end: the stream dropped\n");
        code = 1;
    }
    if (!m_media_written && drop_empty_recording()) {
        // Nothing to finish: the plug-in finds no file and says that nothing arrived.
    } else {
        if (!m_invocation.finish_mp4.empty()) {
            std::string error;
            if (finish_fragmented_mp4(m_invocation.finish_mp4, &error) == Mp4Finish::Failed)
                m_writer.add_text("FFmpeg.exe: the recording stays a fragmented MP4: " + error + "\n");
        }
        complete_segments(true);
        const std::string& output = m_invocation.sync_output;
        if (!output.empty() && !sync_to_disk(output))
            m_writer.add_text("FFmpeg.exe: the recording could not be forced to the disk\n");
        if (!output.empty() && ::access(output.c_str(), F_OK) == 0)
            m_writer.add_text(protocol::write_file_done(output));
    }
    // Only now is the output file complete.
    if (code == 0)
        m_writer.add_text(protocol::write_finish());
    m_writer.drain();
    return code;
}

bool Transcoder::start(const std::vector<std::string>& args)
{
    m_child = std::make_unique<ChildProcess>();
    std::string error;
    if (m_child->start(m_program, args, error))
        return true;
    std::fprintf(stderr, "FFmpeg.exe: cannot start the ffmpeg program '%s': %s\n", m_program.c_str(), error.c_str());
    return false;
}

void Transcoder::retry_for_video()
{
    // Nothing of this run is kept: the next one writes the output afresh.
    m_child->send_signal(SIGKILL);
    m_child->wait();
    m_progress = ProgressParser();
    m_phrases = PhraseFinder();
    m_log_filter = LogFilter();
    m_writer.add_text("FFmpeg.exe: no video in the first second of the stream; analysing it for longer\n");
    const std::vector<std::string> args = std::move(m_invocation.retry_args);
    m_invocation.retry_args.clear();
    if (!start(args))
        m_child = std::make_unique<ChildProcess>(); // ends the loop: nothing left to read
}

void Transcoder::complete_segments(bool ended)
{
    if (!m_segments)
        return;
    const SegmentPlan& plan = *m_invocation.segments;
    for (int n : m_segments->completed(ended)) {
        std::string path = plan.written(n);
        std::string error;
        if (plan.fragmented && finish_fragmented_mp4(path, &error) == Mp4Finish::Failed)
            m_writer.add_text("FFmpeg.exe: " + path + " stays a fragmented MP4: " + error + "\n");
        if (plan.final_name(n) != path && std::rename(path.c_str(), plan.final_name(n).c_str()) == 0)
            path = plan.final_name(n);
        if (!sync_to_disk(path))
            m_writer.add_text("FFmpeg.exe: " + path + " could not be forced to the disk\n");
        m_writer.add_text(protocol::write_file_done(path));
    }
}

void Transcoder::read_stderr()
{
    char buffer[16384];
    const ssize_t n = ::read(m_child->stderr_fd(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        m_child->close_stderr();
        return;
    }
    const std::string text = take_log(buffer, size_t(n));
    if (!m_invocation.retry_args.empty() && !m_stop.started() &&
        m_listing.feed(text.data(), text.size()) == InputListing::Verdict::NoVideo)
        retry_for_video();
}

std::string Transcoder::take_log(const char* data, size_t size)
{
    std::string text;
    if (m_invocation.filter_log) {
        text = size ? m_log_filter.feed(data, size, Clock::now()) : m_log_filter.finish(Clock::now());
    } else {
        text.assign(data, size);
    }
    if (text.empty())
        return text;
    // Forwarded as it comes, so the phrases ffmpeg words itself reach the plug-in.
    m_writer.add_text(text);
    for (const protocol::Outcome phrase : m_phrases.feed(text.data(), text.size()))
        add_phrase(phrase);
    return text;
}

bool Transcoder::drop_empty_recording()
{
    // Only a recording's: a conversion's output is ffmpeg's business.
    std::string path = m_invocation.sync_output;
    if (m_invocation.segments)
        path = m_invocation.segments->written(m_invocation.segments->first);
    if (path.empty())
        return false;
    // A file with headers only (ffmpeg writes them before the first key frame) does not play.
    if (std::remove(path.c_str()) == 0)
        m_writer.add_text("FFmpeg.exe: nothing was recorded; " + path + " is removed\n");
    return true;
}

void Transcoder::add_phrase(protocol::Outcome phrase)
{
    // What ffmpeg says once it was asked to end is about the interrupt, not a failure of the stream.
    if (!m_stop.started())
        m_writer.add_text(protocol::write_phrase(phrase));
}

void Transcoder::read_progress()
{
    char buffer[4096];
    const ssize_t n = ::read(m_child->progress_fd(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        m_child->close_progress();
        return;
    }
    for (const ProgressBlock& block : m_progress.feed(buffer, size_t(n))) {
        if (block.frame > 0 || block.out_time_us > 0)
            m_media_written = true;
        // The last block would only hold up the finish marker by the gap.
        if (!block.end)
            m_writer.add_progress(format_record(block));
    }
}

void Transcoder::act(StopSequence::Action action)
{
    // An ffmpeg that has ended needs no more asking, and its pid may be reused.
    if (action == StopSequence::Action::None || m_child->has_ended())
        return;
    switch (action) {
    case StopSequence::Action::Quit:
        m_child->write_stdin("q", 1);
        break;
    case StopSequence::Action::Interrupt:
        m_child->send_signal(SIGINT);
        break;
    case StopSequence::Action::Kill:
        m_child->send_signal(SIGKILL);
        break;
    case StopSequence::Action::None:
        break;
    }
}

} // namespace ffexe
