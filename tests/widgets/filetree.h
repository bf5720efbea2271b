#pragma once

#include <QtCore>

namespace filetree {

inline bool touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return QFile(path).open(QIODevice::WriteOnly);
}

inline void folder(const QString& path, int count)
{
    for (int i = 0; i < count; ++i)
        touch(QStringLiteral("%1/file_%2.mp4").arg(path).arg(i, 4, 10, QLatin1Char('0')));
}

} // namespace filetree
