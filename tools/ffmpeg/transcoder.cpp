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
    , m_stop_path(protocol::stop_request_path())
    , m_watcher(m_stop_path)
{
    if (m_invocation.segments)
        m_segments.emplace(*m_invocation.segments);
}

int Transcoder::run()
{
    const sigset_t waiting_mask = install_signal_handling();
    if (!start(m_invocation.args, m_invocation.feeder_args))
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

        pollfd fds[3] = {{m_child->stderr_fd(), POLLIN, 0},
                         {m_child->progress_fd(), POLLIN, 0},
                         {m_feeder ? m_feeder->stderr_fd() : -1, POLLIN, 0}};
        timespec timeout;
        timespec* timeout_ptr = nullptr;
        if (wake) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(*wake - now, 0ns)).count();
            timeout = {time_t(ns / 1000000000), long(ns % 1000000000)};
            timeout_ptr = &timeout;
        }
        if (ppoll(fds, 3, timeout_ptr, &waiting_mask) < 0)
            continue; // a stop signal; handled at the top
        const ChildProcess* polled = m_child.get();
        if (fds[2].revents)
            read_stderr(*m_feeder);
        if (fds[0].revents && m_child.get() == polled) // not after a retry: the poll was of the old run
            read_stderr(*m_child);
        if (fds[1].revents && m_child.get() == polled)
            read_progress();
    }

    int code = m_child->wait();
    if (m_feeder) {
        // The writer ends when the feeder does; one that ended first leaves the feeder nothing to do.
        m_feeder->send_signal(SIGKILL);
        while (m_feeder->stderr_fd() >= 0)
            read_stderr(*m_feeder);
        const int feeder_code = m_feeder->wait();
        // A source that failed, or an interrupted feeder, is the recording's end, though the writer
        // ended well with what came.
        if (code == 0)
            code = feeder_code;
    }
    finish_logs();
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

bool Transcoder::start(const std::vector<std::string>& args, const std::vector<std::string>& feeder_args)
{
    m_child = std::make_unique<ChildProcess>();
    std::string error;
    int input = -1;
    if (!feeder_args.empty()) {
        m_feeder = std::make_unique<ChildProcess>();
        if (!m_feeder->start(m_program, feeder_args, error, true)) {
            std::fprintf(stderr, "FFmpeg.exe: cannot start the ffmpeg program '%s': %s\n", m_program.c_str(),
                         error.c_str());
            return false;
        }
        input = m_feeder->stdout_fd();
    }
    const bool started = m_child->start(m_program, args, error, false, input);
    if (m_feeder)
        m_feeder->close_stdout(); // the writer's now: its end is the feeder's end
    if (started)
        return true;
    if (m_feeder) {
        m_feeder->send_signal(SIGKILL);
        m_feeder->wait();
    }
    std::fprintf(stderr, "FFmpeg.exe: cannot start the ffmpeg program '%s': %s\n", m_program.c_str(), error.c_str());
    return false;
}

void Transcoder::retry_for_video()
{
    // Nothing of this run is kept: the next one writes the output afresh.
    for (ChildProcess* child : {m_feeder.get(), m_child.get()}) {
        if (child) {
            child->send_signal(SIGKILL);
            child->wait();
        }
    }
    m_progress = ProgressParser();
    m_phrases = m_writer_phrases = PhraseFinder();
    m_log_filter = m_writer_lines = LogFilter();
    m_writer.add_text("FFmpeg.exe: no video in the first second of the stream; analysing it for longer\n");
    const std::vector<std::string> args = std::move(m_invocation.retry_args);
    const std::vector<std::string> feeder_args = std::move(m_invocation.feeder_retry_args);
    m_invocation.retry_args.clear();
    m_invocation.feeder_retry_args.clear();
    if (!start(args, feeder_args)) {
        m_child = std::make_unique<ChildProcess>(); // ends the loop: nothing left to read
        m_feeder.reset();
    }
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

void Transcoder::read_stderr(ChildProcess& child)
{
    const std::optional<std::string> chunk = read_chunk(child.stderr_fd(), 16384);
    if (!chunk) {
        child.close_stderr();
        return;
    }
    if (chunk->empty())
        return;
    // When relaying, the source's log is the feeder's.
    const bool source = !relaying() || &child == m_feeder.get();
    const std::string text =
        source ? take_log(chunk->data(), chunk->size(), m_invocation.filter_log ? &m_log_filter : nullptr, m_phrases)
               : take_log(chunk->data(), chunk->size(), &m_writer_lines, m_writer_phrases);
    const std::vector<std::string>& retry = relaying() ? m_invocation.feeder_retry_args : m_invocation.retry_args;
    if (source && !retry.empty() && !m_stop.started() &&
        m_listing.feed(text.data(), text.size()) == InputListing::Verdict::NoVideo)
        retry_for_video();
}

std::string Transcoder::take_log(const char* data, size_t size, LogFilter* filter, PhraseFinder& phrases)
{
    std::string text;
    if (filter)
        text = size ? filter->feed(data, size, Clock::now()) : filter->finish(Clock::now());
    else
        text.assign(data, size);
    if (text.empty())
        return text;
    // Forwarded as it comes, so the phrases ffmpeg words itself reach the plug-in.
    m_writer.add_text(text);
    for (const protocol::Outcome phrase : phrases.feed(text.data(), text.size()))
        add_phrase(phrase);
    return text;
}

void Transcoder::finish_logs()
{
    if (m_invocation.filter_log)
        take_log(nullptr, 0, &m_log_filter, m_phrases);
    if (relaying())
        take_log(nullptr, 0, &m_writer_lines, m_writer_phrases);
    for (PhraseFinder* phrases : {&m_phrases, &m_writer_phrases}) {
        for (const protocol::Outcome phrase : phrases->finish())
            add_phrase(phrase);
    }
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
    const std::optional<std::string> chunk = read_chunk(m_child->progress_fd(), 4096);
    if (!chunk) {
        m_child->close_progress();
        return;
    }
    for (const ProgressBlock& block : m_progress.feed(chunk->data(), chunk->size())) {
        if (block.frame > 0 || block.out_time_us > 0)
            m_media_written = true;
        // The last block would only hold up the finish marker by the gap.
        if (!block.end)
            m_writer.add_progress(format_record(block));
    }
}

void Transcoder::act(StopSequence::Action action)
{
    // When relaying, the feeder is asked: the writer ends with the end of what it is fed.
    ChildProcess* asked = m_feeder && !m_feeder->has_ended() ? m_feeder.get() : m_child.get();
    // An ffmpeg that has ended needs no more asking, and its pid may be reused.
    if (action == StopSequence::Action::None || asked->has_ended())
        return;
    switch (action) {
    case StopSequence::Action::Quit:
        asked->write_stdin("q", 1);
        break;
    case StopSequence::Action::Interrupt:
        asked->send_signal(SIGINT);
        break;
    case StopSequence::Action::Kill:
        asked->send_signal(SIGKILL);
        m_child->send_signal(SIGKILL);
        break;
    case StopSequence::Action::None:
        break;
    }
}

} // namespace ffexe
