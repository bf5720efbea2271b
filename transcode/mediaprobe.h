#pragma once

#include <QtGlobal>

struct MediaInfo
{
    qint64 duration = 0; // whole seconds, truncated toward zero
    qint32 fps = 0;      // best video stream, rounded
};

// Reads the container headers of a local file (path as UTF-8 bytes). False when
// the file cannot be opened or holds no video stream.
bool probe_media_file(const char* path, MediaInfo* info);
