#pragma once

#include <QString>
#include <QStringList>

#include <limits>

// Test media are made at test time with the stock ffmpeg.
namespace testmedia {

// A program run to its end.
struct Ran
{
    int code = -1; // -1: it crashed, or was killed at the time-out
    QString out, err;
};
// Runs `program` with `env` ("NAME=value") added to this process's environment.
Ran run(const QString& program, const QStringList& args, int timeoutMs = 120000, const QStringList& env = {});

// Runs the stock ffmpeg (quietly, overwriting); true on exit code 0.
bool ffmpeg(const QStringList& args, int timeoutMs = 120000);

// ffprobe's lines of `entries` of a file (of the `streams` selected, when given).
QStringList probed(const QString& path, const QString& entries, const QString& streams = {},
                   const QString& format = "csv=p=0");
// "WIDTHxHEIGHT Ns" of a file's first video stream and its duration in whole
// seconds, as ffprobe reads them; empty when it cannot.
QString probe(const QString& path);
// A file's duration in seconds, as ffprobe reads it; 0 when it cannot.
double duration(const QString& path);
// What the stock ffmpeg complains about while decoding a whole file (from
// `seek` seconds on, when given); empty when it decodes cleanly.
QString decode_errors(const QString& path, const QString& seek = {});
// Why a recording fails to open, to hold video or to last `least` to `most` seconds; empty when it does all that.
QString unplayable(const QString& path, double least, double most = 1e9);
// A file's streams as "codec,type", in order.
QStringList streams(const QString& path);
// Per stream, each packet as "pts,dts,size,flags" in file order: those that end within the file's first `cut` bytes.
QList<QStringList> packets(const QString& path, qint64 cut = std::numeric_limits<qint64>::max());

// A file's first sound stream decoded, per frame: its time (s) and peak level (dB, -inf for silence); ffmpeg follows
// the set-up where it changes.
QList<QPair<double, double>> sound_levels(const QString& path);
// Where the pictures change size: each run of one size as its first display time (s) and width.
QList<QPair<double, int>> picture_sizes(const QString& path);

// A clip of `seconds` of test pattern (and a tone when `audio`), at the given size and rate ("25" or "30000/1001"), a
// key frame every 25 frames as live encoders send them. Returns the path, empty on failure.
QString make_clip(const QString& path, int seconds, int width = 320, int height = 240, const QString& rate = "25",
                  bool audio = true);

// How make_recording() records: what a camera, phone or screen recorder with fixed settings would write.
struct Recording
{
    QString codec = "h264"; // "hevc", "mjpeg"
    QString rate = "25";    // or "30000/1001"
    int bframes = 3;
    QStringList audio{"48000:2"}; // one AAC track per entry, "rate:channels"
    QStringList video_params{};   // extra x264/x265 parameters, "key=value"
    QStringList options{};        // extra ffmpeg output options
    QString size = "320x240";
    int scene = 0; // another scene (colours and tones) for another recording
};

// `seconds` of moving test pattern with a tone per audio track. Returns the path, empty on failure.
QString make_recording(const QString& path, int seconds, const Recording& settings, int timeoutMs = 120000);

// `seconds` of a test pattern at 320x240, `fps` frames a second, H.264 (with up to `bframes` B-frames) with stereo AAC
// at `sample_rate`, written by GStreamer's `mux` ("mp4mux" or "qtmux") as cameras built on it write them, with
// `mux_options` ("name=value ..."). With `stop_after` the pictures stop with an error after that many: the muxer is
// left as a power cut leaves it. Returns the path, empty on failure.
QString make_gst_recording(const QString& path, int seconds, const QString& mux, int scene = 0, int fps = 25,
                           int bframes = 0, int sample_rate = 48000, const QString& mux_options = {},
                           int stop_after = 0);

// A phone's recording: H.264 and AAC, frames dropped and jittered on a 90 kHz
// clock; the sound ends after `audio_seconds` when given.
QString make_vfr_recording(const QString& path, int seconds, int scene = 0, int audio_seconds = 0);

// A free TCP port on 127.0.0.1.
quint16 free_port();

// Pids of running processes whose command line contains `needle`.
QList<qint64> pids_matching(const QString& needle);

// A whole file, empty when it cannot be read.
QByteArray read_file(const QString& path);
// Writes a whole file, making its folder; true when all was written.
bool write_file(const QString& path, const QByteArray& data);
// Writes an executable shell script of `body`; returns the path, empty on failure.
QString write_script(const QString& path, const QByteArray& body);

} // namespace testmedia

namespace testenv {

// `name` in the user's private temporary folder, which the plug-in and its executables share.
QString shared_temp(const char* name);

// Points HEXLUNE_HOME at a fresh folder for this test process, so the host's settings and data start empty and no user
// file is touched. Call before anything reaches the host framework.
QString isolate_host_home();

} // namespace testenv
