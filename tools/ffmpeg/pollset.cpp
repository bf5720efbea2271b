#include "pollset.h"

#include <algorithm>
#include <poll.h>

namespace ffexe {

void PollSet::add(int fd, short events, std::function<void()> ready)
{
    if (fd < 0)
        return;
    m_fds.push_back(fd);
    m_events.push_back(events);
    m_ready.push_back(std::move(ready));
}

void PollSet::wake_by(Clock::time_point at)
{
    m_wake = m_wake ? std::min(*m_wake, at) : at;
}

void PollSet::wait(const sigset_t* mask)
{
    std::vector<pollfd> fds;
    for (size_t i = 0; i < m_fds.size(); ++i)
        fds.push_back({m_fds[i], m_events[i], 0});
    timespec timeout;
    timespec* timeout_ptr = nullptr;
    if (m_wake) {
        using namespace std::chrono;
        const auto ns = duration_cast<nanoseconds>(std::max(*m_wake - Clock::now(), Clock::duration::zero())).count();
        timeout = {time_t(ns / 1000000000), long(ns % 1000000000)};
        timeout_ptr = &timeout;
    }
    // Interrupted by a signal: the caller looks at what it means.
    if (::ppoll(fds.data(), fds.size(), timeout_ptr, mask) <= 0)
        return;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents)
            m_ready[i]();
    }
}

} // namespace ffexe
