#pragma once

#include <QString>
#include <QStringList>

// Whether a file's streams can go into FLV as they are. A push copies the
// streams without re-encoding, and the transcoder picks the best video and
// the best audio stream, so those two are what matter.
struct FlvCheck
{
    bool opened = false;  // the file could be read at all
    QStringList problems; // one user text per stream FLV cannot carry
};

FlvCheck check_flv_copy(const QString& path);
