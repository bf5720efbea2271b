#pragma once

#include <chrono>
#include <string>

namespace vidmend {

// Where progress goes: the repair window's pipe, or the console.
class Reporter
{
public:
    virtual ~Reporter() = default;
    // One report: progress, total and one state word. False when the
    // receiver asks the repair to stop.
    virtual bool report(int progress, int total, const std::string& state) = 0;
};

// Lets through a report when the state changes, when the job is complete, or
// when the progress has moved and `interval` has passed since the last one:
// every report over the pipe costs the window a connection.
class ProgressGate
{
public:
    using Clock = std::chrono::steady_clock;

    explicit ProgressGate(std::chrono::milliseconds interval)
        : m_interval(interval)
    {}

    bool due(int progress, int total, const std::string& state, Clock::time_point now);

private:
    std::chrono::milliseconds m_interval;
    bool m_any = false;
    int m_progress = 0;
    std::string m_state;
    Clock::time_point m_last;
};

// Prints each report as a line on standard output.
class ConsoleReporter : public Reporter
{
public:
    bool report(int progress, int total, const std::string& state) override;
};

} // namespace vidmend
