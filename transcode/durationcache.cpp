#include "durationcache.h"

#include "transcode/mediaprobe.h"

#include <QElapsedTimer>

#include <algorithm>

std::optional<double> DurationCache::total(const QStringList& paths, qint64 budget_ms)
{
    QElapsedTimer spent;
    spent.start();
    double sum = 0;
    bool complete = true;
    for (const QString& path : paths) {
        auto known = m_seconds.constFind(path);
        if (known == m_seconds.constEnd()) {
            if (spent.elapsed() >= budget_ms) {
                complete = false;
                continue;
            }
            MediaInfo info;
            const bool ok = probe_media_file(path.toUtf8().constData(), &info);
            known = m_seconds.insert(path, ok ? std::max<qint64>(info.duration, 0) : 0);
        }
        sum += double(*known);
    }
    if (!complete)
        return std::nullopt;
    return sum;
}
