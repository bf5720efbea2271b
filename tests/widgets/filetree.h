#pragma once

#include <QDir>
#include <QFile>
#include <QStringList>

// The tables only look at names, so their tests use empty files.
namespace filetree {

inline QString touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) ? path : QString();
}

// A folder of `count` empty files named file_NNNN<ext>; returns the folder.
inline QString folder(const QString& path, int count, const QString& ext = QStringLiteral(".mp4"))
{
    QDir().mkpath(path);
    for (int i = 0; i < count; ++i)
        touch(QStringLiteral("%1/file_%2%3").arg(path).arg(i, 4, 10, QLatin1Char('0')).arg(ext));
    return path;
}

} // namespace filetree
