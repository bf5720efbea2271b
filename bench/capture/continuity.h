#pragma once

#include <QString>

class RtmpServer;

// FFmpeg.exe recording a source whose time does not simply run on: an rtmp
// publisher restarted twice during the capture (the file's duration against
// the wall-clock time from the first frame received to the stop), and a live
// HLS playlist read to its end (the time to the first frame written, and the
// frames missing at the end). `clip` is a 10 s clip, 25 frames a second, every
// frame different.
void measure_restarted_publisher(RtmpServer& server, const QString& clip);
void measure_hls(const QString& clip);
