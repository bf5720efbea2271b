#pragma once

#include <QString>

class RtmpServer;

// The capture window against a server that goes away for a while, with
// reconnect on drop, and recording in files: the frames lost, told apart by
// their pictures (`clip` is the published 10 s clip at 25 frames a second,
// every frame different).
void measure_reconnect(RtmpServer& server, const QString& clip);
void measure_segments(RtmpServer& server, const QString& clip);
