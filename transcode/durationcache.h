#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

// Durations of the files still waiting in a queue, each probed once and only
// a few at a time, so that a long queue never holds the window up.
class DurationCache
{
public:
    // The seconds of all `paths` together, probing the unknown ones until
    // `budget_ms` is spent; nothing while some are still unknown. A file the
    // probe cannot read counts as 0.
    std::optional<double> total(const QStringList& paths, qint64 budget_ms);
    void clear() { m_seconds.clear(); }

private:
    QHash<QString, qint64> m_seconds;
};
