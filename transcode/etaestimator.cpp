#include "etaestimator.h"

#include <QElapsedTimer>

#include <algorithm>

#include <cmath>

namespace {

qint64 steady_ms()
{
    static QElapsedTimer timer;
    if (!timer.isValid())
        timer.start();
    return timer.elapsed();
}

} // namespace

EtaEstimator::EtaEstimator(Clock clock)
    : m_clock(clock ? std::move(clock) : Clock(steady_ms))
{}

void EtaEstimator::begin_file(double total)
{
    if (m_speed)
        m_carried = m_speed;
    m_total = total;
    m_first.reset();
    m_last.reset();
    m_speed.reset();
}

void EtaEstimator::reset()
{
    begin_file(0);
    m_carried.reset();
}

void EtaEstimator::update(double position)
{
    if (!std::isfinite(position) || position < 0)
        return;
    const Sample now{m_clock(), position};
    // Reports at zero come while the encoder fills its look-ahead; timing
    // from them would make a fast conversion look slow for a long while.
    if (!m_first) {
        if (position <= 0)
            return;
        m_first = now;
    }
    m_last = now;
    const qint64 span = now.ms - m_first->ms;
    const double done = now.position - m_first->position;
    if (span >= settle_ms && done > 0)
        m_speed = done * 1000.0 / double(span);
}

std::optional<double> EtaEstimator::speed() const
{
    return m_speed ? m_speed : m_carried;
}

std::optional<qint64> EtaEstimator::whole(double seconds) const
{
    if (!std::isfinite(seconds) || seconds > double(max_seconds))
        return std::nullopt;
    return qint64(std::ceil(std::max(seconds, 0.0)));
}

std::optional<qint64> EtaEstimator::file_left() const
{
    const std::optional<double> rate = speed();
    // Without a total (the probe failed) there is nothing to count down from.
    if (!rate || *rate <= 0 || m_total <= 0)
        return std::nullopt;
    const double position = m_last ? m_last->position : 0;
    return whole((m_total - std::min(position, m_total)) / *rate);
}

std::optional<qint64> EtaEstimator::queue_left(double later, double waits) const
{
    const std::optional<qint64> rest = file_left();
    if (!rest)
        return std::nullopt;
    return whole(double(*rest) + std::max(later, 0.0) / *speed() + std::max(waits, 0.0));
}

QString EtaEstimator::format(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    const qint64 hours = seconds / 3600;
    const int minutes = int(seconds / 60 % 60);
    const int secs = int(seconds % 60);
    if (hours > 0)
        return QStringLiteral("%1:%2:%3")
            .arg(hours)
            .arg(minutes, 2, 10, QLatin1Char('0'))
            .arg(secs, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(minutes, 2, 10, QLatin1Char('0')).arg(secs, 2, 10, QLatin1Char('0'));
}
