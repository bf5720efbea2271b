#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <signal.h>
#include <vector>

namespace ffexe {

// What a run waits for: descriptors, each with what to do when it is ready,
// and a time to wake up at the latest.
class PollSet
{
public:
    using Clock = std::chrono::steady_clock;

    // Does nothing for a closed descriptor (-1).
    void add(int fd, short events, std::function<void()> ready);
    void wake_by(Clock::time_point at);
    // Waits (with `mask` as the signal mask meanwhile, when given) and runs what is ready, in the order added.
    void wait(const sigset_t* mask = nullptr);

private:
    std::vector<int> m_fds;
    std::vector<short> m_events;
    std::vector<std::function<void()>> m_ready;
    std::optional<Clock::time_point> m_wake;
};

} // namespace ffexe
