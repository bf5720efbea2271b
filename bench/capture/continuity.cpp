#include "continuity.h"

#include "figure.h"
#include "rtmpserver.h"
#include "testmedia.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <functional>

namespace {

void wait_ms(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool wait_for(int ms, const std::function<bool()>& done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        wait_ms(10);
    }
    return true;
}

// FFmpeg.exe recording `source` into `file` as the capture window has it record, its progress records timed as
// they come.
class Recording
{
public:
    Recording(const QString& source, const QString& file)
    {
        m_clock.start();
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { read(); });
        m_process.start(QCoreApplication::applicationDirPath() + "/FFmpeg.exe",
                        {"-i", source, "-vcodec", "copy", file});
    }
    // Stopped as the window stops it (FFmpeg.exe ends the file on the signal).
    void stop()
    {
        m_stop_ms = m_clock.nsecsElapsed() / 1e6;
        ::kill(pid_t(m_process.processId()), SIGINT);
        ended(60000);
    }
    bool ended(int ms) { return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(ms); }
    double first_written_ms() const { return m_first_written_ms; }
    // When the first frame the file holds was received: the earliest of
    // the records' arrival less the time already written.
    double content_start_ms() const { return m_content_start_ms; }
    double stop_ms() const { return m_stop_ms; }
    double elapsed_ms() const { return m_clock.nsecsElapsed() / 1e6; }
    // Time stamps the muxer had to force.
    int forced() const { return m_forced; }

private:
    void read()
    {
        m_partial += m_process.readAllStandardOutput();
        static const QRegularExpression record("frame=\\s*(\\d+).*time=(\\d+):(\\d+):([\\d.]+)");
        int end;
        while ((end = m_partial.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(m_partial.left(end));
            m_partial.remove(0, end + 1);
            if (line.contains("Non-monotonous"))
                ++m_forced;
            const QRegularExpressionMatch m = record.match(line);
            if (!line.startsWith("zo_progress") || !m.hasMatch())
                continue;
            const double now = m_clock.nsecsElapsed() / 1e6;
            const double written =
                (m.captured(2).toInt() * 3600 + m.captured(3).toInt() * 60 + m.captured(4).toDouble()) * 1000;
            if (m.captured(1).toInt() > 0 && m_first_written_ms < 0)
                m_first_written_ms = now;
            if (written > 0 && (m_content_start_ms < 0 || now - written < m_content_start_ms))
                m_content_start_ms = now - written;
        }
    }

    QProcess m_process;
    QElapsedTimer m_clock;
    QByteArray m_partial;
    double m_first_written_ms = -1, m_content_start_ms = -1, m_stop_ms = -1;
    int m_forced = 0;
};

double duration_of(const QString& path)
{
    return testmedia::run("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path})
        .out.trimmed()
        .toDouble();
}

QStringList frame_sums(const QString& path)
{
    QStringList sums;
    for (const QString& line :
         testmedia::run("ffmpeg", {"-v", "error", "-i", path, "-map", "0:v", "-f", "framemd5", "-"}).out.split('\n')) {
        if (!line.startsWith('#') && line.count(',') >= 5)
            sums << line.section(',', 5).trimmed();
    }
    return sums;
}

} // namespace

void measure_restarted_publisher(RtmpServer& server, const QString& clip)
{
    const struct
    {
        const char* ext;
        int away_ms;
    } cases[] = {{".mp4", 0}, {".avi", 0}, {".mp4", 2000}, {".avi", 2000}};
    for (const auto& c : cases) {
        std::printf("\ncapture to %s of an rtmp publisher restarted twice, 3 s apart, away %d ms each time:\n", c.ext,
                    c.away_ms);
        const QString stream = QString("again%1%2").arg(c.ext + 1).arg(c.away_ms);
        if (!server.publish(clip, stream)) {
            std::printf("  the publisher did not start\n");
            continue;
        }
        QTemporaryDir out;
        const QString file = out.filePath(QString("again") + c.ext);
        Recording recording(server.url(stream), file);
        if (!wait_for(60000, [&] { return recording.first_written_ms() >= 0; })) {
            std::printf("  nothing was written\n");
            continue;
        }
        wait_ms(3000);
        for (int restart = 0; restart < 2; ++restart) {
            server.restart_publisher(stream, c.away_ms);
            wait_ms(3000);
        }
        recording.stop();
        const double held = duration_of(file);
        const double wall = (recording.stop_ms() - recording.content_start_ms()) / 1000.0;
        const QStringList streams =
            testmedia::run("ffprobe", {"-v", "error", "-show_entries", "stream=duration", "-of", "csv=p=0", file})
                .out.split('\n', Qt::SkipEmptyParts);
        const double skew = streams.size() == 2 ? streams[0].toDouble() - streams[1].toDouble() : 0;
        std::printf("  the file holds %.2f s; wall clock from the first frame received to the stop %.2f s (from "
                    "starting FFmpeg.exe %.2f s); video less sound %.2f s; %d time stamps forced\n",
                    held, wall, recording.stop_ms() / 1000.0, skew, recording.forced());
        figure(qPrintable(QString("capture to %1 of a publisher restarted twice, away %2 ms: duration against the "
                                  "wall clock")
                              .arg(c.ext)
                              .arg(c.away_ms)),
               qPrintable(QString("%1 s / %2 s (%3%)")
                              .arg(held, 0, 'f', 2)
                              .arg(wall, 0, 'f', 2)
                              .arg((held / wall - 1) * 100, 0, 'f', 1)),
               "within 2%",
               "wall clock from the first frame received (the earliest progress record less the time written) to the "
               "stop");
    }
}

void measure_hls(const QString& clip)
{
    std::printf("\ncapture of a live HLS playlist read to its end:\n");
    QTemporaryDir folder, out;
    HttpServer http;
    if (!http.start(folder.path())) {
        std::printf("  the http server did not start\n");
        return;
    }
    QProcess writer;
    writer.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-i", clip, "-c", "copy", "-f",
                            "hls", "-hls_time", "1", "-hls_list_size", "0", folder.filePath("live.m3u8")});
    if (!wait_for(60000, [&] { return QFile::exists(folder.filePath("live.m3u8")); })) {
        std::printf("  the playlist did not appear\n");
        return;
    }
    const QString file = out.filePath("hls.mp4");
    Recording recording(http.url("live.m3u8"), file);
    wait_for(60000, [&] { return recording.first_written_ms() >= 0; });
    const double first = recording.first_written_ms();
    const bool ended = recording.ended(120000);
    writer.waitForFinished(60000);
    const QStringList source = frame_sums(clip), recorded = frame_sums(file);
    const int last = recorded.isEmpty() ? -1 : int(source.lastIndexOf(recorded.last()));
    const int lost = last < 0 ? -1 : int(source.size()) - 1 - last;
    std::printf("  first frame written %.0f ms after the start; %s; %lld frames recorded, the last is the source's "
                "frame %d of %lld\n",
                first, ended ? "ended by itself at the playlist's end" : "did not end",
                static_cast<long long>(recorded.size()), last + 1, static_cast<long long>(source.size()));
    figure("HLS capture: start to the first frame written", qPrintable(QString("%1 ms").arg(first, 0, 'f', 0)), "-",
           "1 s segments, 10 s clip written live by ffmpeg's HLS muxer, served by nginx");
    figure("HLS capture: frames lost at the end of the playlist", qPrintable(QString::number(lost)), "0",
           qPrintable(QString("%1 frames recorded; the last recorded is the source's last %2")
                          .arg(recorded.size())
                          .arg(lost == 0 ? "itself" : "less " + QString::number(lost))));
}
