#pragma once

// The waits between attempts to get a dropped connection back: 2, 4, 8 and
// 16 seconds, then 30 seconds each, so that a server that is down for long
// is not hammered and one that was only gone a moment is back soon.
class RetryDelay
{
public:
    static constexpr int first_ms = 2000;
    static constexpr int longest_ms = 30000;

    // The wait before the next attempt; each call waits longer.
    int next_ms();
    // An attempt got through: the next drop starts from the shortest wait.
    void reset() { m_next = first_ms; }

private:
    int m_next = first_ms;
};
