#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

// The waits between attempts to get a dropped connection back: each call
// waits the next of a row of lengths, and the last one on and on. A push
// waits 2, 4, 8 and 16 seconds, then 30 seconds each, so that a server that is
// down for long is not hammered; a capture, whose every second away is a
// second missing from the recording, 0.5, 1 and 2 seconds, then 3 each.
class RetryDelay
{
public:
    static RetryDelay push() { return RetryDelay({2000, 4000, 8000, 16000, 30000}); }
    static RetryDelay capture() { return RetryDelay({500, 1000, 2000, 3000}); }

    RetryDelay()
        : RetryDelay(push())
    {}
    explicit RetryDelay(std::initializer_list<int> waits_ms)
        : m_waits(waits_ms)
    {}

    // The wait before the next attempt.
    int next_ms();
    // An attempt got through: the next drop starts from the shortest wait.
    void reset() { m_next = 0; }

private:
    std::vector<int> m_waits;
    size_t m_next = 0;
};
