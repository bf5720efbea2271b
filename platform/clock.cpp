#include "clock.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QThread>
#include <QTimer>

namespace platform {

namespace {

Clock* g_installed = nullptr;

} // namespace

qint64 Clock::now_ms()
{
    static QElapsedTimer started = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return started.elapsed();
}

void Clock::after(int ms, QObject* context, std::function<void()> step)
{
    QTimer::singleShot(ms, context, std::move(step));
}

void Clock::sleep(unsigned long ms)
{
    QThread::msleep(ms);
}

int Clock::minute_s()
{
    return 60;
}

Clock& Clock::current()
{
    static Clock system;
    return g_installed ? *g_installed : system;
}

Clock* Clock::replace(Clock* clock)
{
    Clock* previous = g_installed;
    g_installed = clock;
    return previous;
}

} // namespace platform
