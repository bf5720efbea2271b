#include "fanoutpush.h"

#include "filesource.h"
#include "pollset.h"
#include "progressrecord.h"

#include "protocol/transcoder.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace ffexe {

namespace {

// How long the destinations are given, once the file has been read, to send what they still hold.
constexpr auto k_last_sends = std::chrono::seconds(5);
// As often as ffmpeg writes its progress.
constexpr auto k_record_every = std::chrono::milliseconds(500);

} // namespace

std::vector<protocol::PushTarget> push_targets(const protocol::PushCommand& push)
{
    std::vector<protocol::PushTarget> targets{{push.address, push.any_certificate}};
    targets.insert(targets.end(), push.also.begin(), push.also.end());
    return targets;
}

FanOutPush::FanOutPush(protocol::PushCommand push, long long timeout_us)
    : m_push(std::move(push))
    , m_out([](const std::string& bytes) { write_all(STDOUT_FILENO, bytes); })
    , m_fan(push_targets(m_push), timeout_us, m_out)
{}

int FanOutPush::run()
{
    std::signal(SIGPIPE, SIG_IGN);
    FlvFileSource source([this](const char* data, size_t size) { m_fan.feed(data, size); });
    if (!source.open(m_push.file, m_push.from_ms, m_push.realtime)) {
        m_out.add_text(source.error() + "\n");
        m_out.drain();
        return 1;
    }
    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    m_fan.begin();
    using Clock = FlvFileSource::Clock;
    Clock::time_point next_record = Clock::now() + k_record_every;
    FlvFileSource::State state;
    for (;;) {
        Clock::time_point due;
        const Clock::time_point now = Clock::now();
        if ((state = source.pump(now, due)) != FlvFileSource::State::Due)
            break;
        if (now >= next_record) {
            m_out.add_progress(format_record(source.progress(now)));
            next_record = now + k_record_every;
        }
        PollSet poll;
        poll.wake_by(std::min(due, next_record));
        if (const std::optional<OutputWriter::Clock::time_point> written = m_out.flush(now))
            poll.wake_by(*written + std::chrono::milliseconds(1));
        poll.add(m_fan.news_fd(), POLLIN, [this] { m_fan.report(); });
        if (m_input_open)
            poll.add(STDIN_FILENO, POLLIN,
                     [this] { m_input_open = read_push_input(m_input, &m_fan, [](const std::string&) {}); });
        poll.wait();
    }
    const bool ended = state == FlvFileSource::State::Ended;
    m_out.add_progress(format_record(source.progress(Clock::now())));
    if (!ended)
        m_out.add_text(source.error() + "\n");
    m_fan.finish(Clock::now() + k_last_sends);
    if (ended)
        m_out.add_text(protocol::write_finish());
    m_out.drain();
    return ended ? 0 : 1;
}

} // namespace ffexe
