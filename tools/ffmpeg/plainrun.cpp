#include "plainrun.h"

#include <csignal>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace ffexe {

PlainRun::PlainRun(std::string program, Invocation invocation, PlaylistCheck playlist_check)
    : m_program(std::move(program))
    , m_invocation(std::move(invocation))
    , m_core(m_invocation, playlist_check)
{}

PlainRun::~PlainRun()
{
    if (m_reading.joinable())
        m_reading.join();
}

int PlainRun::run()
{
    m_core.begin();
    if (!start(m_invocation.args))
        return 127;
    while (m_child->stderr_fd() >= 0 || m_child->progress_fd() >= 0) {
        m_core.stop_step(*m_child);
        if (m_core.stopping())
            m_log->hush();
        ChildProcess* polled = m_child.get();
        PollSet poll;
        // Not after a retry: the poll was of the run before.
        poll.add(m_child->stderr_fd(), POLLIN, [this, polled] {
            if (m_child.get() == polled)
                read_log();
        });
        poll.add(m_child->progress_fd(), POLLIN, [this, polled] {
            if (m_child.get() == polled)
                m_core.read_progress(*m_child);
        });
        m_core.wait(poll);
    }
    const int code = m_child->wait();
    if (m_reading.joinable())
        m_reading.join();
    m_log->finish(ChildLog::Clock::now());
    return m_core.end(code);
}

bool PlainRun::start(const std::vector<std::string>& args)
{
    if (m_reading.joinable())
        m_reading.join(); // the run before was killed: its reader has seen the end
    m_child = std::make_unique<ChildProcess>();
    m_log = std::make_unique<ChildLog>(&m_core.out(),
                                       m_invocation.filter_log ? ChildLog::Mode::Filtered : ChildLog::Mode::Forward);
    m_core.follow_listing(*m_log, !m_invocation.retry_args.empty());
    std::string error;
    if (m_child->start(m_program, args, error, bool(m_reader))) {
        if (m_reader) {
            // The reader's own copy: once it closes that, ffmpeg has nobody to write to.
            const int fd = ::dup(m_child->stdout_fd());
            m_child->close_stdout();
            if (fd >= 0)
                m_reading = std::thread(m_reader, fd);
        }
        return true;
    }
    report_start_failure(m_program, error);
    return false;
}

void PlainRun::read_log()
{
    m_log->read(*m_child);
    if (m_core.take_retry())
        retry_for_video();
}

void PlainRun::retry_for_video()
{
    // Nothing of this run is kept: the next one writes the output afresh.
    m_child->send_signal(SIGKILL);
    m_child->wait();
    const std::vector<std::string> args = std::move(m_invocation.retry_args);
    m_invocation.retry_args.clear();
    if (!start(args))
        m_child = std::make_unique<ChildProcess>(); // ends the loop: nothing left to read
}

} // namespace ffexe
