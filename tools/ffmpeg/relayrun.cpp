#include "relayrun.h"

#include "livefeed.h"
#include "logfilter.h"
#include "tsfeed.h"

#include "protocol/transcoder.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace ffexe {

namespace {

// Room in a writer's input for what comes while it opens its file.
constexpr int k_writer_pipe = 1 << 20;

} // namespace

RelayRun::RelayRun(std::string program, std::vector<std::string> args, long long timeout_us, Invocation invocation)
    : m_program(std::move(program))
    , m_args(std::move(args))
    , m_timeout_us(timeout_us)
    , m_invocation(std::move(invocation))
    , m_core(m_invocation)
{
    if (m_invocation.ts_feed)
        m_feed = std::make_unique<TsFeed>(m_invocation.one_set);
    else
        m_feed = std::make_unique<LiveFeed>(m_invocation.one_set);
    m_feed->on_bytes = [this](std::string bytes) { m_writers.back()->pending += bytes; };
    m_feed->on_next_file = [this] { next_file(); };
    m_feed->on_jump = [this](long long ms) { m_core.out().add_text(jump_line(ms * 1000) + "\n"); };
}

int RelayRun::run()
{
    m_core.begin();
    m_feeder = std::make_unique<ChildProcess>();
    m_feeder_log = std::make_unique<ChildLog>(&m_core.out(), ChildLog::Mode::Forward);
    std::string error;
    // The writer starts at once: it is ready when the first picture comes.
    if (!m_feeder->start(m_program, m_invocation.feeder_args, error, true) || !start_writer(m_invocation.args)) {
        for (ChildProcess* child : children())
            child->send_signal(SIGKILL);
        report_start_failure(m_program, error.empty() ? "cannot be run" : error);
        return 127;
    }
    while (std::any_of(m_writers.begin(), m_writers.end(), [](const auto& w) { return w->open(); })) {
        // The feeder is asked while it runs; a kill ends every child.
        m_core.stop_step(m_feeder->has_ended() ? *m_writers.back()->child : *m_feeder, children());
        if (m_core.stopping()) {
            m_feeder_log->hush();
            for (const auto& writer : m_writers)
                writer->log->hush();
        }
        PollSet poll;
        poll.add(m_feeder->stdout_fd(), POLLIN, [this] { read_source(); });
        poll.add(m_feeder->stderr_fd(), POLLIN, [this] { m_feeder_log->read(*m_feeder); });
        poll_writers(poll);
        if (const std::optional<Feed::Clock::time_point> due = m_feed->deadline())
            poll.wake_by(*due);
        m_core.wait(poll);
        m_feed->tick(Feed::Clock::now());
        retire_writers();
    }
    int code = m_writers.back()->child->wait();
    // The writer ends when the feeder does; one that ended first leaves the feeder nothing to do.
    m_feeder->send_signal(SIGKILL);
    while (m_feeder->stderr_fd() >= 0)
        m_feeder_log->read(*m_feeder);
    const int feeder_code = m_feeder->wait();
    // A source that failed, or an interrupted feeder, is the recording's end, though the writer ended well with what
    // came.
    if (code == 0)
        code = feeder_code;
    m_feeder_log->finish(ChildLog::Clock::now());
    m_writers.back()->log->finish(ChildLog::Clock::now());
    return m_core.end(code);
}

bool RelayRun::start_writer(const std::vector<std::string>& args)
{
    auto writer = std::make_unique<Writer>();
    writer->child = std::make_unique<ChildProcess>();
    // A transport stream's writer logs at debug level, for the jumps in its time (LogFilter).
    writer->log = std::make_unique<ChildLog>(&m_core.out(),
                                             m_invocation.ts_feed ? ChildLog::Mode::Filtered : ChildLog::Mode::Forward);
    std::string error;
    if (!writer->child->start(m_program, args, error)) {
        report_start_failure(m_program, error);
        return false;
    }
    ::fcntl(writer->child->stdin_fd(), F_SETPIPE_SZ, k_writer_pipe);
    m_writers.push_back(std::move(writer));
    return true;
}

void RelayRun::read_source()
{
    const std::optional<std::string> chunk = read_chunk(m_feeder->stdout_fd(), 65536);
    if (chunk) {
        m_feed->feed(chunk->data(), chunk->size(), Feed::Clock::now());
        return;
    }
    // The source has ended, or the feeder was stopped: what came goes into the file, which then ends.
    m_feeder->close_stdout();
    m_feed->end();
    for (const auto& writer : m_writers)
        writer->fed = true;
}

void RelayRun::next_file()
{
    Writer& before = *m_writers.back();
    const Invocation next = build_invocation(m_args, m_timeout_us, m_core.recording().next_number());
    if (!start_writer(next.args)) {
        // Without a writer for it the rest goes nowhere; the file so far is kept.
        m_feeder->send_signal(SIGINT);
        return;
    }
    before.fed = true;
    before.recording = m_core.switch_recording(Recording(next));
    const std::string file = m_core.recording().current();
    m_core.out().add_text("FFmpeg.exe: the stream's pictures changed (its source restarted at another size?), which " +
                          before.recording.current() + " cannot hold; the recording goes on in " + file + "\n");
    m_core.out().add_text(protocol::write_next_file(file));
}

void RelayRun::poll_writers(PollSet& poll)
{
    for (const auto& held : m_writers) {
        Writer* writer = held.get();
        if (writer->fed && writer->pending.empty())
            writer->child->close_stdin(); // it ends with what it has
        poll.add(writer->child->stderr_fd(), POLLIN, [writer] { writer->log->read(*writer->child); });
        poll.add(writer->child->progress_fd(), POLLIN, [this, writer] {
            if (writer == m_writers.back().get())
                m_core.read_progress(*writer->child);
            else
                m_core.read_progress(*writer->child, writer->progress, writer->recording, false);
        });
        if (!writer->pending.empty())
            poll.add(writer->child->stdin_fd(), POLLOUT, [this, writer] { write_to(*writer); });
    }
}

void RelayRun::write_to(Writer& writer)
{
    const ssize_t n = ::write(writer.child->stdin_fd(), writer.pending.data(), writer.pending.size());
    if (n > 0) {
        writer.pending.erase(0, size_t(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        // The writer is gone; what it says about it ends this run.
        writer.pending.clear();
        writer.child->close_stdin();
    }
}

void RelayRun::retire_writers()
{
    for (size_t i = 0; i + 1 < m_writers.size();) {
        Writer& writer = *m_writers[i];
        if (writer.open()) {
            ++i;
            continue;
        }
        writer.child->wait();
        writer.log->finish(ChildLog::Clock::now());
        writer.recording.finish(m_core.out());
        m_writers.erase(m_writers.begin() + long(i));
    }
}

std::vector<ChildProcess*> RelayRun::children() const
{
    std::vector<ChildProcess*> all{m_feeder.get()};
    for (const auto& writer : m_writers)
        all.push_back(writer->child.get());
    return all;
}

} // namespace ffexe
