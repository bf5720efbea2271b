#pragma once

#include "platform/clock.h"

#include <QList>
#include <QPointer>

#include <functional>

// While it lives it is the windows' clock: the delays they ask for are held until the test lets them pass, so their
// lengths are checked without waiting them out; the time, the pauses and the length of a minute are the test's to set.
class TestClock : public platform::Clock
{
public:
    struct Pending
    {
        int ms;
        QPointer<QObject> context;
        std::function<void()> step;
    };
    QList<Pending> pending;
    // What now_ms() answers; the system's time unless set.
    std::function<qint64()> now;
    // What a pause does; a real pause unless set.
    std::function<void(unsigned long ms)> on_sleep;
    int minute = 60;
    // Whether delays wait for pass(); false lets them run out on the system's clock.
    bool hold_delays = true;

    TestClock()
        : m_previous(platform::Clock::replace(this))
    {}
    TestClock(const TestClock&) = delete;
    TestClock& operator=(const TestClock&) = delete;
    ~TestClock() override { platform::Clock::replace(m_previous); }

    qint64 now_ms() override { return now ? now() : Clock::now_ms(); }
    void after(int ms, QObject* context, std::function<void()> step) override
    {
        if (!hold_delays)
            return Clock::after(ms, context, std::move(step));
        pending << Pending{ms, context, std::move(step)};
    }
    void sleep(unsigned long ms) override { on_sleep ? on_sleep(ms) : Clock::sleep(ms); }
    int minute_s() override { return minute; }

    // A delay whose owner has gone would never fire: Qt drops such a timer.
    void forget_dead()
    {
        pending.removeIf([](const Pending& p) { return !p.context; });
    }
    int count()
    {
        forget_dead();
        return pending.size();
    }
    // Lets the oldest live delay pass, as the clock would after its length; returns that length.
    int pass()
    {
        forget_dead();
        if (pending.isEmpty())
            return -1;
        const Pending p = pending.takeFirst();
        p.step();
        return p.ms;
    }

private:
    platform::Clock* m_previous;
};
