#include "relayrun.h"

#include <csignal>
#include <cstdio>
#include <poll.h>

namespace ffexe {

RelayRun::RelayRun(std::string program, Invocation invocation)
    : m_program(std::move(program))
    , m_invocation(std::move(invocation))
    , m_core(m_invocation)
{}

int RelayRun::run()
{
    m_core.begin();
    if (!start(m_invocation.feeder_args, m_invocation.args))
        return 127;
    while (m_writer->stderr_fd() >= 0 || m_writer->progress_fd() >= 0) {
        // The feeder is asked while it runs; a kill ends both.
        m_core.stop_step(m_feeder->has_ended() ? *m_writer : *m_feeder, m_writer.get());
        if (m_core.stopping()) {
            m_feeder_log->hush();
            m_writer_log->hush();
        }
        ChildProcess* polled = m_writer.get();
        PollSet poll;
        poll.add(m_feeder->stderr_fd(), POLLIN, [this] { read_feeder_log(); });
        // Not after a retry: the poll was of the run before.
        poll.add(m_writer->stderr_fd(), POLLIN, [this, polled] {
            if (m_writer.get() == polled)
                m_writer_log->read(*m_writer);
        });
        poll.add(m_writer->progress_fd(), POLLIN, [this, polled] {
            if (m_writer.get() == polled)
                m_core.read_progress(*m_writer);
        });
        m_core.wait(poll);
    }
    int code = m_writer->wait();
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
    m_writer_log->finish(ChildLog::Clock::now());
    return m_core.end(code);
}

bool RelayRun::start(const std::vector<std::string>& feeder_args, const std::vector<std::string>& writer_args)
{
    m_feeder = std::make_unique<ChildProcess>();
    m_writer = std::make_unique<ChildProcess>();
    m_feeder_log = std::make_unique<ChildLog>(&m_core.out(), ChildLog::Mode::Filtered);
    m_writer_log = std::make_unique<ChildLog>(&m_core.out(), ChildLog::Mode::Forward);
    m_core.follow_listing(*m_feeder_log, !m_invocation.feeder_retry_args.empty());
    std::string error;
    bool started = m_feeder->start(m_program, feeder_args, error, true);
    if (started) {
        started = m_writer->start(m_program, writer_args, error, false, m_feeder->stdout_fd());
        m_feeder->close_stdout(); // the writer's now: its end is the feeder's end
    }
    if (started)
        return true;
    kill();
    report_start_failure(m_program, error);
    return false;
}

void RelayRun::read_feeder_log()
{
    m_feeder_log->read(*m_feeder);
    if (m_core.take_retry())
        retry_for_video();
}

void RelayRun::kill()
{
    for (ChildProcess* child : {m_feeder.get(), m_writer.get()}) {
        child->send_signal(SIGKILL);
        child->wait();
    }
}

void RelayRun::retry_for_video()
{
    // Nothing of this run is kept: the next one writes the output afresh.
    kill();
    const std::vector<std::string> feeder_args = std::move(m_invocation.feeder_retry_args);
    const std::vector<std::string> writer_args = std::move(m_invocation.retry_args);
    m_invocation.feeder_retry_args.clear();
    m_invocation.retry_args.clear();
    if (!start(feeder_args, writer_args)) {
        // Ends the loop: nothing left to read.
        m_feeder = std::make_unique<ChildProcess>();
        m_writer = std::make_unique<ChildProcess>();
    }
}

} // namespace ffexe
