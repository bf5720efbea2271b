#pragma once

#include "segments.h"

#include "protocol/command.h"

#include <optional>
#include <string>
#include <vector>

namespace ffexe {

// ffmpeg writes its progress blocks to this descriptor of the child.
constexpr int k_progress_fd = 3;

// How long a network read may stall before ffmpeg gives up, so that a stream
// that never arrives ends in an error instead of a hang.
constexpr long long k_read_timeout_us = 10000000;

// How much of a live stream is analysed before recording starts: as little
// as ffmpeg allows (0 would be its default of seconds). What the stream's
// headers say is known at once and its first frames are still decoded; a
// longer look would only hold back what the server has sent. And how much
// when no video showed in that time (a server may hold the video back until
// its next key frame).
constexpr long long k_analyze_us = 1;
// Except a stream with no header (a transport stream over srt or udp), which
// names its sound before any of it comes: without a look at its first sound
// the whole recording would be silent.
constexpr long long k_analyze_headless_us = 300000;
constexpr long long k_analyze_long_us = 10000000;
// How often ffmpeg reports a recording's progress: the capture's clock starts with its first picture.
constexpr const char* k_progress_period = "0.1";
// A recording's time stamps that jump by more than this (in seconds) are put
// back in line; ffmpeg does so for backward jumps of a tenth of a second.
constexpr const char* k_jump_threshold = "0.5";
// How many reloads of a live HLS playlist that brings nothing new are waited
// out before the stream counts as dropped (half a segment's length apart).
constexpr const char* k_hls_hold_reloads = "10";
// The length of a capture's MP4 fragments: what a killed recording may lose.
constexpr long long k_fragment_us = 1000000;

// The read time-out: DAVAZ_READ_TIMEOUT_MS when it holds a positive number of
// milliseconds, else the default.
long long read_timeout_us(const char* env_value);

// The plug-in's arguments read as ffmpeg reads them: each input with the
// options before it, then the output's options and the output; and the
// transcoder's own options (protocol/command.h).
struct Request
{
    struct Input
    {
        std::vector<std::string> options;
        std::string url;
        protocol::SourceKind kind = protocol::SourceKind::Local;
    };
    std::vector<Input> inputs;
    std::vector<std::string> output_options;
    std::string output; // the last argument
    protocol::OwnOptions own;

    bool network_input() const;
    // A network stream recorded into a local file.
    bool recording() const;
};
Request read_request(std::vector<std::string> args);

// How ffmpeg runs for a request: alone (args), with the arguments that
// analyse the source for longer when its first listing shows no video; or as
// a feeder whose output FFmpeg.exe hands on to the writer (feeder_args, args).
struct Invocation
{
    std::vector<std::string> args;       // ffmpeg's arguments, without the program
    std::vector<std::string> retry_args; // analysing for longer; empty: never tried again
    std::vector<std::string> feeder_args;
    bool network_input = false;          // an input is a network stream, so a stop request applies
    bool recording = false;              // a network stream recorded into a local file
    int file_number = 1;                 // of a recording: the number of its (first) file
    std::string finish_mp4;              // a fragmented MP4 to make ordinary once ffmpeg has ended
    std::string sync_output;             // a recording to force to the disk once complete
    std::optional<SegmentPlan> segments; // a recording cut into files
    bool filter_log = false;             // the source's ffmpeg logs at debug level with level tags (LogFilter)
    std::string hls_playlist;            // a recorded HLS playlist: its end is told apart from a stall
    bool one_set = true;                 // the recording's container holds one set of picture parameters
    bool ts_feed = false;                // relayed: the source is a transport stream (TsFeed), else FLV (LiveFeed)

    bool relayed() const { return !feeder_args.empty(); }
};

// Turns the plug-in's argument list into the one ffmpeg runs with; a
// recording into its file `file_number` when that is given.
Invocation build_invocation(const std::vector<std::string>& user_args, long long timeout_us = k_read_timeout_us,
                            int file_number = 0);

} // namespace ffexe
