#pragma once

#include "rtmpserver.h"

// GStreamer's RTSP server library, driven by rtspserver.py under Debian's own Python 3, serving one H.264 clip, with or
// without its AAC audio, in an endless loop.
class RtspServer : public LoopbackServer
{
public:
    // Starts serving `clip` (an MP4 with H.264 video).
    bool start(const QString& clip, bool audio = false);
    // rtsp://127.0.0.1:PORT/stream
    QString url() const { return QString("rtsp://127.0.0.1:%1/stream").arg(port()); }
    QString log() { return output(); }
};
