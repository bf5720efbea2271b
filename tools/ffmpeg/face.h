#pragma once

#include "runcore.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ffexe {

// One way FFmpeg.exe runs the stock ffmpeg for the plug-in:
// - PlainRun (plainrun.h): one ffmpeg, as for a conversion, a push or a capture from rtsp;
// - RelayRun (relayrun.h): a feeder and a writer with FFmpeg.exe between them, for a capture from rtmp or http-flv;
// - ListPush (listpush.h): a publisher and a reader per entry, for a play list over one connection;
// - FanOutPush (fanoutpush.h): one reader for a file pushed to several destinations at once
//   (a list over one connection to several is a ListPush whose publisher feeds them).
// - Conversion (conversion.h): a local file fitted to one of the conversion window's formats, through a PlainRun.
class Face
{
public:
    virtual ~Face() = default;
    // Runs to the end; the exit code (127 when ffmpeg cannot be run).
    virtual int run() = 0;
};

// The face the plug-in's arguments ask for, running `program` as ffmpeg;
// `timeout_us`: how long a network read may stall.
std::unique_ptr<Face> face_for(std::string program, const std::vector<std::string>& args, long long timeout_us);

// FFmpeg.exe starts without the media libraries, which take longer to load
// than a capture may wait for its first frame. What reads media itself (a
// push, a conversion, a capture from an HLS playlist, whose end is read) runs
// in the program named here, beside it, which has them.
constexpr const char* k_media_program = "ffexe-media";
bool needs_media(const std::vector<std::string>& args, const Invocation& invocation);

// A run of one ffmpeg, or a feeder and a writer for a live FLV source, as
// `invocation` says; `playlist_check` tells a recorded playlist's end from a stall.
std::unique_ptr<Face> stream_face(std::string program, const std::vector<std::string>& args, long long timeout_us,
                                  Invocation invocation, PlaylistCheck playlist_check);

// What both programs' main() does: the usage without arguments, else `run`
// with the ffmpeg to run (tests point DAVAZ_FFMPEG at another), the arguments
// and the read time-out (DAVAZ_READ_TIMEOUT_MS).
using Runner = std::function<int(std::string program, const std::vector<std::string>& args, long long timeout_us)>;
int run_main(int argc, char** argv, const Runner& run);

} // namespace ffexe
