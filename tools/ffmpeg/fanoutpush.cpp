#include "fanoutpush.h"

#include "pollset.h"

#include "protocol/transcoder.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace ffexe {

namespace {

// How long the destinations are given, once the file has been read, to send what they still hold.
constexpr auto k_last_sends = std::chrono::seconds(5);

} // namespace

std::vector<std::string> source_args(const protocol::PushCommand& push)
{
    std::vector<std::string> args{"-hide_banner", "-nostats", "-nostdin", "-progress", "pipe:3"};
    // Read as a push of the file reads it, written into FLV on a pipe to us.
    protocol::PushCommand read_only;
    read_only.file = push.file;
    read_only.address = "pipe:1";
    read_only.from_ms = push.from_ms;
    read_only.realtime = push.realtime;
    const std::vector<std::string> read = protocol::write_push(read_only);
    args.insert(args.end(), read.begin(), read.end() - 1);
    for (const char* arg : {"-flvflags", "no_duration_filesize", "pipe:1"})
        args.push_back(arg);
    return args;
}

std::vector<protocol::PushTarget> push_targets(const protocol::PushCommand& push)
{
    std::vector<protocol::PushTarget> targets{{push.address, push.any_certificate}};
    targets.insert(targets.end(), push.also.begin(), push.also.end());
    return targets;
}

FanOutPush::FanOutPush(std::string program, protocol::PushCommand push, long long timeout_us)
    : m_program(std::move(program))
    , m_push(std::move(push))
    , m_out([](const std::string& bytes) { write_all(STDOUT_FILENO, bytes); })
    , m_log(&m_out, ChildLog::Mode::Forward)
    , m_fan(push_targets(m_push), timeout_us, m_out)
{}

int FanOutPush::run()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::string error;
    if (!m_source.start(m_program, source_args(m_push), error, true)) {
        report_start_failure(m_program, error);
        return 127;
    }
    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    m_fan.begin();
    while (m_source.stdout_fd() >= 0 || m_source.stderr_fd() >= 0 || m_source.progress_fd() >= 0) {
        PollSet poll;
        if (const std::optional<OutputWriter::Clock::time_point> due = m_out.flush(OutputWriter::Clock::now()))
            poll.wake_by(*due + std::chrono::milliseconds(1));
        poll.add(m_source.stdout_fd(), POLLIN, [this] { read_source(); });
        poll.add(m_source.stderr_fd(), POLLIN, [this] { m_log.read(m_source); });
        poll.add(m_source.progress_fd(), POLLIN, [this] { read_progress(); });
        poll.add(m_fan.news_fd(), POLLIN, [this] { m_fan.report(); });
        if (m_input_open)
            poll.add(STDIN_FILENO, POLLIN,
                     [this] { m_input_open = read_push_input(m_input, &m_fan, [](const std::string&) {}); });
        poll.wait();
    }
    m_log.finish(ChildLog::Clock::now());
    const int code = m_source.wait();
    m_fan.finish(std::chrono::steady_clock::now() + k_last_sends);
    if (code == 0)
        m_out.add_text(protocol::write_finish());
    m_out.drain();
    return code;
}

void FanOutPush::read_source()
{
    const std::optional<std::string> chunk = read_chunk(m_source.stdout_fd(), 65536);
    if (!chunk)
        m_source.close_stdout();
    else
        m_fan.feed(chunk->data(), chunk->size());
}

void FanOutPush::read_progress()
{
    const std::optional<std::string> chunk = read_chunk(m_source.progress_fd(), 4096);
    if (!chunk) {
        m_source.close_progress();
        return;
    }
    for (const ProgressBlock& block : m_progress.feed(chunk->data(), chunk->size())) {
        if (!block.end)
            m_out.add_progress(format_record(block));
    }
}

} // namespace ffexe
