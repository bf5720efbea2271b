#pragma once

#include <QtGlobal>

#include <functional>

class QObject;

namespace platform {

// The windows' sense of time in one place: what time it is, a step after a
// wait, a pause, and how many seconds a minute the user sets lasts. The
// system's clock serves unless a test puts its own in, so that timing rules
// are checked without waiting them out.
class Clock
{
public:
    virtual ~Clock() = default;

    // Milliseconds on a clock that never goes back.
    virtual qint64 now_ms();
    // Runs `step` once after `ms`, unless `context` has gone by then.
    virtual void after(int ms, QObject* context, std::function<void()> step);
    // Blocks the calling thread for `ms`.
    virtual void sleep(unsigned long ms);
    // Seconds in a minute the user sets (a capture's segment length).
    virtual int minute_s();

    // The clock in use.
    static Clock& current();
    // Puts `clock` in (nullptr: the system's) and returns the one it replaces.
    static Clock* replace(Clock* clock);
};

} // namespace platform
