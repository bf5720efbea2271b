// Captures through the capture window from a real rtmp server (and the RTSP
// helper): how much of the wall-clock recording time the file holds, how long
// a stop takes until the file is complete and the window idle, and how much a
// recording killed outright keeps; then, with the server going away for a
// while, what a capture with reconnect on drop loses, and what a capture in
// files loses between them (outage.cpp).
//
// bench_capture [long-seconds]   (default 600: the long recording of the stop figure)
// bench_capture continuity       (only the restarted publisher and the HLS playlist, continuity.cpp)
// bench_capture start            (only the start to the first frame written and the clock, each kind of source)

#include "continuity.h"
#include "figure.h"
#include "modalboxes.h"
#include "outage.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "rsrc/grablivewidget.h"
#include "rtmpserver.h"
#include "rtspserver.h"
#include "testhost.h"
#include "testmedia.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>

namespace {

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

double probe_duration(const QString& path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path});
    p.waitForFinished(120000);
    return p.readAllStandardOutput().trimmed().toDouble();
}

// A capture to .mp4 is written in fragments: the first one is the first frame on the disk.
bool holds_fragment(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll().contains("moof");
}

struct Result
{
    double wall = 0;        // s from pressing start to pressing stop (or to the kill)
    double recorded = 0;    // s the file holds
    double complete_ms = 0; // from pressing stop until the transcoder had ended, the file complete
    double idle_ms = 0;     // from pressing stop until the window was idle again
    int boxes = 0;
    double first_ms = -1; // from pressing start to the first frame written
    double disk_ms = -1;  // from pressing start until the file holds a frame (a .mp4's first fragment)
    // From pressing start to the first record of a frame written, ours and plain ffmpeg's, started with it on the
    // same stream (its times do not start at its first key picture, so only the records compare).
    double record_ms = -1;
    double plain_ms = -1;
    double clock = 0; // s from the first frame written to the stop, which the window's clock counts
    int shown = 0;    // s it showed
};

// The window logs what the transcoder says as it comes: its first record of a frame written, less the time it says is
// written, is when the file's first frame was. The window's clock counts from there, and catches up with any later
// record that says the file is further on: it counts from the earliest such moment.
QElapsedTimer* g_clock = nullptr;
double g_first_ms = -1;
double g_clock_from_ms = -1;
double g_first_record_ms = -1; // when that record came
void note_first_frame(QtMsgType, const QMessageLogContext&, const QString& text)
{
    static const QRegularExpression record("zo_progress\\|frame=\\s*(\\d+).*time=(\\d+):(\\d+):([\\d.]+)");
    const QRegularExpressionMatch m = record.match(text);
    if (!g_clock || !m.hasMatch() || m.captured(1).toInt() <= 0)
        return;
    const double written =
        (m.captured(2).toInt() * 3600 + m.captured(3).toInt() * 60 + m.captured(4).toDouble()) * 1000;
    const double from = double(g_clock->nsecsElapsed()) / 1e6 - written;
    if (g_first_ms < 0) {
        g_first_ms = g_clock_from_ms = from;
        g_first_record_ms = double(g_clock->nsecsElapsed()) / 1e6;
    }
    g_clock_from_ms = std::min(g_clock_from_ms, from);
}

class Bench
{
public:
    explicit Bench(const QString& out)
        : m_out(out)
    {}

    Result capture(const QString& url, const QString& ext, int seconds, bool kill, bool beside_plain = false)
    {
        Result result;
        ModalBoxes boxes;
        GrabLiveWidget window;
        // The second of grace is spent as the window spends it, noting when the transcoder ended within it.
        double ended_ms = -1;
        struct GraceClock : platform::Clock
        {
            std::function<void(unsigned long)> pause;
            platform::Clock* previous = platform::Clock::replace(this);
            ~GraceClock() override { platform::Clock::replace(previous); }
            void sleep(unsigned long ms) override { pause(ms); }
        } grace;
        grace.pause = [&](unsigned long ms) {
            QElapsedTimer waited;
            waited.start();
            for (QProcess* p : window.findChildren<QProcess*>()) {
                if (p->state() != QProcess::NotRunning)
                    p->waitForFinished(int(ms));
            }
            ended_ms = double(waited.nsecsElapsed()) / 1e6;
            const qint64 rest = qint64(ms) - waited.elapsed();
            if (rest > 0)
                platform::sleep_ms(static_cast<unsigned long>(rest));
        };
        window.findChild<QLineEdit*>("lineEdit_encode_ip")->setText(url);
        window.findChild<QLineEdit*>("lineEdit_savepath")->setText(m_out);
        window.findChild<QComboBox*>("comboBox")->setCurrentText(ext);
        const QString file = m_out + "/" + window.findChild<QLineEdit*>("lineEdit_file_name")->text() + ext;
        window.show();

        QElapsedTimer clock;
        g_clock = &clock;
        g_first_ms = g_clock_from_ms = -1;
        const QtMessageHandler previous = qInstallMessageHandler(note_first_frame);
        clock.start();
        window.findChild<QPushButton*>("pushButton_start")->click();
        // Plain ffmpeg, as it comes, on the same stream: it waits for the same key picture from a server that keeps
        // none.
        QProcess plain;
        int plain_frames = 0;
        if (beside_plain) {
            QObject::connect(&plain, &QProcess::readyReadStandardOutput, [&] {
                while (plain.canReadLine()) {
                    const QString line = QString::fromUtf8(plain.readLine()).trimmed();
                    if (line.startsWith("frame="))
                        plain_frames = line.mid(6).toInt();
                    else if (line.startsWith("progress=") && plain_frames > 0 && result.plain_ms < 0)
                        result.plain_ms = double(clock.nsecsElapsed()) / 1e6;
                }
            });
            plain.start("ffmpeg", {"-hide_banner", "-nostats", "-loglevel", "error", "-y", "-progress", "pipe:1",
                                   "-stats_period", "0.1", "-i", url, "-c", "copy", m_out + "/plain.mp4"});
        }
        while (clock.elapsed() < seconds * 1000) {
            spin(10);
            if (result.disk_ms < 0 && ext == ".mp4" && holds_fragment(file))
                result.disk_ms = double(clock.nsecsElapsed()) / 1e6;
        }
        result.wall = double(clock.nsecsElapsed()) / 1e9;
        if (beside_plain) {
            plain.terminate();
            plain.waitForFinished(10000);
        }
        if (kill) {
            for (qint64 pid : testmedia::pids_matching(file))
                ::kill(pid_t(pid), SIGKILL);
            QElapsedTimer until_idle;
            until_idle.start();
            while (window.findChild<QPushButton*>("pushButton_stop")->isEnabled() && until_idle.elapsed() < 60000)
                spin(50);
        } else {
            QElapsedTimer stopping;
            stopping.start();
            window.findChild<QPushButton*>("pushButton_stop")->click();
            result.idle_ms = double(stopping.nsecsElapsed()) / 1e6;
            result.complete_ms = ended_ms;
        }
        qInstallMessageHandler(previous);
        g_clock = nullptr;
        if (g_first_ms >= 0) {
            result.first_ms = g_first_ms;
            result.record_ms = g_first_record_ms;
            result.clock = (result.wall * 1000 - g_clock_from_ms) / 1000;
            result.shown = window.elapsed_seconds();
        }
        result.boxes = boxes.count();
        result.recorded = probe_duration(file);
        return result;
    }

private:
    QString m_out;
};

// A figure in ms: the median of `values`, their count and spread, then `more`.
void median_figure(const QString& name, QList<double> values, const char* target, const QString& more = {})
{
    std::sort(values.begin(), values.end());
    figure(qPrintable(name), qPrintable(QString("%1 ms").arg(values.at(values.size() / 2), 0, 'f', 0)), target,
           qPrintable(QString("median of %1; %2 to %3 ms")
                          .arg(values.size())
                          .arg(values.first(), 0, 'f', 0)
                          .arg(values.last(), 0, 'f', 0) +
                      more));
}

// When an MPEG-TS source's first picture and first sound reach a reader started now, in ms (-1: none within 5 s).
// A file cannot begin before both are known: ffmpeg's own TS writer sends the sound in groups of a few hundred ms.
std::pair<double, double> ts_arrival(const QString& url)
{
    QElapsedTimer clock;
    clock.start();
    QProcess reader;
    reader.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-nostdin", "-f", "data", "-i", url, "-map", "0",
                            "-c", "copy", "-f", "data", "-flush_packets", "1", "pipe:1"});
    QByteArray bytes;
    double picture = -1, sound = -1;
    while (clock.elapsed() < 5000 && (picture < 0 || sound < 0) && reader.state() != QProcess::NotRunning) {
        if (!reader.waitForReadyRead(100))
            continue;
        bytes += reader.readAllStandardOutput();
        const double now = double(clock.nsecsElapsed()) / 1e6;
        for (; bytes.size() >= 188; bytes.remove(0, 188)) {
            // A packet that begins a PES: its stream id says pictures (0xe0-0xef) or sound (0xc0-0xdf).
            const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
            const int at = (p[3] & 0x20) ? 5 + p[4] : 4;
            if (p[0] != 0x47 || !(p[1] & 0x40) || at > 184 || p[at] || p[at + 1] || p[at + 2] != 1)
                continue;
            const int id = p[at + 3];
            if ((id & 0xf0) == 0xe0 && picture < 0)
                picture = now;
            else if ((id & 0xe0) == 0xc0 && sound < 0)
                sound = now;
        }
    }
    reader.kill();
    reader.waitForFinished();
    return {picture, sound};
}

// Start to the first frame written, and the window's clock against the file at the stop, for each kind of source: 6 s
// captures to .mp4 through the window, a key frame every second.
void measure_start(Bench& bench, const QString& rtmp, const QString& rtsp, const QString& clip)
{
    std::printf("\n6 s captures to .mp4 (first: start pressed to the first frame written; clock: what the window's "
                "clock counted at the stop, shown in whole seconds):\n");
    // "rtmp, key kept": served by a listener that starts each reader at a key picture, as servers with a cache of
    // the last one do; nginx-rtmp keeps none, and each reader waits for the publisher's next.
    for (const char* kind : {"rtmp", "rtmp, key kept", "http-flv", "srt", "rtsp"}) {
        QList<double> first, disk, plain, off, pictures, sounds;
        QStringList clocks;
        const QString name(kind);
        for (int round = 0; round < 5; ++round) {
            ClipListener listener; // serves one reader: started again for each
            const bool listens = name != "rtmp" && name != "rtsp";
            const ClipListener::Kind served = name == "srt"        ? ClipListener::Kind::Srt
                                              : name == "http-flv" ? ClipListener::Kind::HttpFlv
                                                                   : ClipListener::Kind::Rtmp;
            if (listens && !listener.start(served, clip)) {
                std::printf("  %s: the source did not start\n", kind);
                break;
            }
            if (name == "srt") {
                // What any reader of this source gets, and when; the listener is then started again for the capture.
                const auto [picture, sound] = ts_arrival(listener.url());
                pictures << picture;
                sounds << sound;
                if (!listener.start(served, clip)) {
                    std::printf("  %s: the source did not start\n", kind);
                    break;
                }
            }
            const QString url = listens ? listener.url() : name == "rtmp" ? rtmp : rtsp;
            const Result r = bench.capture(url, ".mp4", 6, false, name == "rtmp");
            std::printf(
                "  %-14s first %6.0f ms (its record %6.0f, plain ffmpeg's %6.0f), on disk %6.0f ms, clock %.2f s "
                "(shown %d s), file %.2f s\n",
                kind, r.first_ms, r.record_ms, r.plain_ms, r.disk_ms, r.clock, r.shown, r.recorded);
            std::fflush(stdout);
            first << r.first_ms;
            disk << r.disk_ms;
            if (r.plain_ms >= 0)
                plain << r.record_ms - r.plain_ms;
            off << r.recorded - r.clock;
            clocks << QString("%1/%2").arg(r.clock, 0, 'f', 2).arg(r.recorded, 0, 'f', 2);
        }
        if (first.isEmpty())
            continue;
        if (!plain.isEmpty()) {
            median_figure(QString("capture from %1: first record of a frame written, against plain ffmpeg's").arg(kind),
                          plain, "-", "; plain ffmpeg started with it, its own analysis");
        }
        std::sort(off.begin(), off.end(), [](double a, double b) { return qAbs(a) < qAbs(b); });
        median_figure(QString("capture from %1: start to the first frame written").arg(kind), first, "<= 500 ms",
                      "; a key frame every second");
        if (!pictures.isEmpty()) {
            median_figure(QString("%1 source, a reader of its bytes: start to the first picture").arg(kind), pictures,
                          "-", "; ffmpeg's TS writer sending the clip, as published");
            median_figure(QString("%1 source, a reader of its bytes: start to the first sound").arg(kind), sounds, "-",
                          "; a file's header needs the sound's parameters");
        }
        median_figure(QString("capture from %1: start to the first fragment on the disk").arg(kind), disk, "-");
        figure(qPrintable(QString("capture from %1: file against the window's clock at the stop, worst").arg(kind)),
               qPrintable(QString("%1 s").arg(off.last(), 0, 'f', 2)), "within 2% or 0.3 s",
               qPrintable("clock/file s: " + clocks.join(", ")));
    }
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testenv::isolate_host_home();
    TestHost host;
    // "bench_capture continuity": only the restarted publisher and the HLS playlist.
    const bool continuity_only = argc > 1 && QString(argv[1]) == "continuity";
    // "bench_capture start": only the start to the first frame, for each kind of source.
    const bool start_only = argc > 1 && QString(argv[1]) == "start";
    const int long_seconds = argc > 1 && !continuity_only ? QString(argv[1]).toInt() : 600;
    const int rounds = argc > 2 ? std::max(1, QString(argv[2]).toInt()) : 3;

    QTemporaryDir dir;
    const QString clip = dir.filePath("live.mp4");
    std::printf("making a 10 s 320x240 clip with a key frame every second...\n");
    if (!testmedia::ffmpeg({"-f",   "lavfi",   "-i",        "testsrc2=size=320x240:rate=25:duration=10",
                            "-f",   "lavfi",   "-i",        "sine=frequency=440:duration=10",
                            "-c:v", "libx264", "-preset",   "ultrafast",
                            "-g",   "25",      "-pix_fmt",  "yuv420p",
                            "-c:a", "aac",     "-shortest", clip})) {
        std::fprintf(stderr, "cannot make the clip\n");
        return 1;
    }
    RtmpServer rtmp;
    RtspServer rtsp;
    if (!rtmp.start() || !rtsp.start(clip, true)) {
        std::fprintf(stderr, "cannot start the servers\n");
        return 1;
    }
    QProcess publisher;
    publisher.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-stream_loop", "-1", "-i",
                               clip, "-c", "copy", "-f", "flv", rtmp.url("live")});
    for (int i = 0; i < 300 && !rtmp.log().contains("publish: name='live'"); ++i)
        spin(100);

    QTemporaryDir out;
    Bench bench(out.path());
    if (start_only) {
        measure_start(bench, rtmp.url("live"), rtsp.url(), clip);
        return 0;
    }
    measure_restarted_publisher(rtmp, clip);
    measure_hls(clip);
    if (continuity_only)
        return 0;

    std::printf("\n10 s captures (wall: start pressed to stop pressed; kept: what the file holds):\n");
    std::printf("  %-16s %-5s %8s %8s %8s %14s %12s\n", "source", "ext", "wall s", "kept s", "lost s", "complete ms",
                "idle ms");
    const struct
    {
        const char* name;
        QString url;
        const char* ext;
    } runs[] = {
        {"rtmp audio+video", rtmp.url("live"), ".mp4"},
        {"rtmp audio+video", rtmp.url("live"), ".avi"},
        {"rtsp audio+video", rtsp.url(), ".mp4"},
    };
    QList<double> lost, complete, idle;
    for (const auto& run : runs) {
        for (int round = 0; round < rounds; ++round) {
            const Result r = bench.capture(run.url, run.ext, 10, false);
            lost << r.wall - r.recorded;
            complete << r.complete_ms;
            idle << r.idle_ms;
            std::printf("  %-16s %-5s %8.2f %8.2f %8.2f %14.0f %12.0f%s\n", run.name, run.ext, r.wall, r.recorded,
                        r.wall - r.recorded, r.complete_ms, r.idle_ms, r.boxes ? "  (a message box was shown)" : "");
            std::fflush(stdout);
        }
    }

    const auto median = [](QList<double> v) {
        std::sort(v.begin(), v.end());
        return v.at(v.size() / 2);
    };
    figure("capture of 10 s: duration lost against wall time", qPrintable(QString("%1 s").arg(median(lost), 0, 'f', 2)),
           "-", qPrintable(QString("median of %1 (rtmp .mp4/.avi, rtsp .mp4)").arg(lost.size())));
    figure("capture of 10 s: stop to a complete file", qPrintable(QString("%1 ms").arg(median(complete), 0, 'f', 0)),
           "<= 1000 ms", qPrintable(QString("stop to idle window %1 ms").arg(median(idle), 0, 'f', 0)));

    std::printf("\nkilled outright after 10 s (FFmpeg.exe and ffmpeg, SIGKILL), .mp4:\n");
    QList<double> kept;
    for (int round = 0; round < rounds; ++round) {
        const Result r = bench.capture(rtmp.url("live"), ".mp4", 10, true);
        kept << r.recorded;
        std::printf("  wall %.2f s, kept %.2f s, lost %.2f s\n", r.wall, r.recorded, r.wall - r.recorded);
        std::fflush(stdout);
    }

    figure("capture of 10 s killed outright: duration kept", qPrintable(QString("%1 s").arg(median(kept), 0, 'f', 2)),
           ">= 8 s", "FFmpeg.exe and ffmpeg killed with SIGKILL");

    if (long_seconds > 0) {
        std::printf("\na %d s capture, .mp4 (320x240):\n", long_seconds);
        std::fflush(stdout);
        const Result r = bench.capture(rtmp.url("live"), ".mp4", long_seconds, false);
        std::printf("  wall %.2f s, kept %.2f s; stop to complete file %.0f ms, stop to idle window %.0f ms\n", r.wall,
                    r.recorded, r.complete_ms, r.idle_ms);
        figure(qPrintable(QString("capture of %1 s: stop to a complete file").arg(long_seconds)),
               qPrintable(QString("%1 ms").arg(r.complete_ms, 0, 'f', 0)), "<= 1000 ms",
               qPrintable(QString("kept %1 s of %2 s").arg(r.recorded, 0, 'f', 2).arg(r.wall, 0, 'f', 2)));
    }

    measure_start(bench, rtmp.url("live"), rtsp.url(), clip);

    publisher.kill();
    publisher.waitForFinished();
    measure_segments(rtmp, clip);
    // The server goes away in this one: it comes last.
    measure_reconnect(rtmp, clip);
    return 0;
}
