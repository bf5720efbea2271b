#include "playlistfile.h"

QStringList read_playlist_lines(std::FILE* file)
{
    QStringList lines;
    char line[512];
    while (std::fgets(line, sizeof line, file)) {
        const QString entry = QString::fromUtf8(line).trimmed();
        if (!entry.isEmpty())
            lines << entry;
    }
    return lines;
}
