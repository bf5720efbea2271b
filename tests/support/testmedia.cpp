#include "testmedia.h"

#include "protocol/contract.h"
#include "protocol/privatefolder.h"

#include <QTcpServer>
#include <QtCore>

#include <algorithm>

namespace testmedia {

Ran run(const QString& program, const QStringList& args, int timeoutMs, const QStringList& env)
{
    QProcess p;
    QProcessEnvironment vars = QProcessEnvironment::systemEnvironment();
    for (const QString& var : env)
        vars.insert(var.section('=', 0, 0), var.section('=', 1));
    p.setProcessEnvironment(vars);
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
    }
    // Failing to start, crashing and being killed all leave an error.
    return {p.error() == QProcess::UnknownError ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

bool ffmpeg(const QStringList& args, int timeoutMs)
{
    const Ran r = run("ffmpeg", QStringList{"-hide_banner", "-loglevel", "error", "-nostdin", "-y"} + args, timeoutMs);
    if (r.code != 0)
        qWarning("ffmpeg failed: %s", qPrintable(r.err));
    return r.code == 0;
}

QStringList probed(const QString& path, const QString& entries, const QString& streams, const QString& format)
{
    const QStringList select = streams.isEmpty() ? QStringList() : QStringList{"-select_streams", streams};
    const QStringList args = QStringList{"-v", "error"} + select + QStringList{"-show_entries", entries, "-of", format};
    return run("ffprobe", args + QStringList{path}).out.split('\n', Qt::SkipEmptyParts);
}

QString probe(const QString& path)
{
    const QStringList lines = probed(path, "stream=width,height:format=duration", "v:0", "csv=p=0:s=x");
    return lines.size() == 2 ? QString("%1 %2s").arg(lines[0]).arg(qRound(lines[1].toDouble())) : QString();
}

double duration(const QString& path)
{
    return probed(path, "format=duration").value(0).toDouble();
}

QString decode_errors(const QString& path, const QString& seek)
{
    const QStringList from = seek.isEmpty() ? QStringList() : QStringList{"-ss", seek};
    const Ran r =
        run("ffmpeg", QStringList{"-v", "error", "-nostdin"} + from + QStringList{"-i", path, "-f", "null", "-"});
    return r.err + (r.code == 0 ? "" : QString("(exit code %1)").arg(r.code));
}

QString unplayable(const QString& path, double least, double most)
{
    const double seconds = duration(path);
    const bool fine = !probe(path).isEmpty() && seconds >= least && seconds <= most;
    return fine ? QString() : QString("%1: no video or %2 s").arg(path).arg(seconds);
}

QStringList streams(const QString& path)
{
    return probed(path, "stream=codec_name,codec_type");
}

QList<QStringList> packets(const QString& path, qint64 cut)
{
    QList<QStringList> streams;
    for (const QString& line : probed(path, "packet=stream_index,pts,dts,size,pos,flags")) {
        const QStringList f = line.split(','); // stream_index,pts,dts,size,pos,flags
        streams.resize(qMax(streams.size(), f[0].toInt() + 1));
        if (f.value(4).toLongLong() + f.value(3).toLongLong() <= cut)
            streams[f[0].toInt()] << QStringList{f.value(1), f.value(2), f.value(3), f.value(5)}.join(',');
    }
    return streams;
}

QList<QPair<double, double>> sound_levels(const QString& path)
{
    const Ran r = run("ffmpeg", {"-hide_banner", "-nostdin", "-v", "error", "-i", path, "-map", "0:a:0", "-af",
                                 "astats=metadata=1:reset=1,ametadata=print:key=lavfi.astats.Overall.Peak_level:file=-",
                                 "-f", "null", "-"});
    QList<QPair<double, double>> levels;
    double at = 0;
    for (const QString& line : r.out.split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith("frame:"))
            at = line.section("pts_time:", 1).trimmed().toDouble();
        else if (line.contains("Peak_level="))
            levels << qMakePair(at, line.section('=', 1).toDouble()); // "-inf" reads as -inf
    }
    return levels;
}

QList<QPair<double, int>> picture_sizes(const QString& path)
{
    QList<QPair<double, int>> runs;
    for (const QString& line : probed(path, "frame=pts_time,width", "v")) {
        const QStringList f = line.split(','); // a frame with side data has more to its line
        if (f.size() < 2 || f[0].trimmed().isEmpty() || f[1].trimmed().isEmpty())
            continue;
        if (runs.isEmpty() || runs.last().second != f[1].toInt())
            runs << qMakePair(f[0].toDouble(), f[1].toInt());
        runs.last().first = std::min(runs.last().first, f[0].toDouble()); // B-frames come before they are shown
    }
    return runs;
}

QString make_clip(const QString& path, int seconds, int width, int height, const QString& rate, bool audio)
{
    QStringList args{"-f", "lavfi", "-i",
                     QString("testsrc2=size=%1x%2:rate=%3:duration=%4").arg(width).arg(height).arg(rate).arg(seconds)};
    if (audio)
        args +=
            {"-f", "lavfi", "-i", QString("sine=frequency=440:duration=%1").arg(seconds), "-c:a", "aac", "-shortest"};
    args += {"-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-pix_fmt", "yuv420p", path};
    return ffmpeg(args) ? path : QString();
}

QString make_recording(const QString& path, int seconds, const Recording& settings, int timeoutMs)
{
    QStringList args{"-f", "lavfi", "-i",
                     QString("testsrc2=size=%1:rate=%2:duration=%3").arg(settings.size, settings.rate).arg(seconds)};
    for (int i = 0; i < settings.audio.size(); ++i)
        args += {"-f", "lavfi", "-i",
                 QString("sine=frequency=%1:duration=%2:sample_rate=%3")
                     .arg(330 + 110 * i + 40 * settings.scene)
                     .arg(seconds)
                     .arg(settings.audio[i].section(':', 0, 0))};
    for (int i = 0; i <= settings.audio.size(); ++i)
        args += {"-map", QString::number(i)};
    args += {"-vf", QString("hue=h=%1").arg(50 * settings.scene), "-pix_fmt", "yuv420p", "-preset", "ultrafast"};
    QStringList params = settings.video_params;
    if (settings.codec == "hevc") {
        params.prepend(QString("log-level=error:bframes=%1:keyint=60").arg(settings.bframes));
        args += {"-c:v", "libx265", "-x265-params", params.join(':')};
    } else if (settings.codec == "mjpeg") {
        args += {"-c:v", "mjpeg", "-q:v", "5"};
    } else {
        args += {"-c:v", "libx264", "-bf", QString::number(settings.bframes), "-g", "50"};
        if (!params.isEmpty())
            args += {"-x264-params", params.join(':')};
    }
    for (int i = 0; i < settings.audio.size(); ++i)
        args += {QString("-c:a:%1").arg(i), "aac", QString("-ac:a:%1").arg(i), settings.audio[i].section(':', 1, 1)};
    return ffmpeg(args + settings.options + QStringList{path}, timeoutMs) ? path : QString();
}

QString make_gst_recording(const QString& path, int seconds, const QString& mux, int scene, int fps, int bframes,
                           int sample_rate, const QString& mux_options, int stop_after)
{
    const auto n = [](int value) { return QString::number(value); };
    const QString stop = stop_after > 0 ? QString("identity error-after=%1 ! ").arg(stop_after) : QString();
    const QString args =
        QString("videotestsrc num-buffers=%1 pattern=%2 ! video/x-raw,width=320,height=240,framerate=%7/1 ! %10"
                "x264enc speed-preset=ultrafast key-int-max=50 bframes=%8 ! h264parse ! %3 name=m %11 ! filesink "
                "location=%4 audiotestsrc num-buffers=%5 samplesperbuffer=1024 freq=%6 ! "
                "audio/x-raw,rate=%9,channels=2 ! avenc_aac ! aacparse ! m.")
            .arg(n(seconds * fps), n(scene ? 0 : 18), mux, path, n(seconds * sample_rate / 1024), n(440 + 110 * scene),
                 n(fps), n(bframes), n(sample_rate))
            .arg(stop, mux_options);
    const Ran ran = run("gst-launch-1.0", QStringList{"-q"} + args.split(' ', Qt::SkipEmptyParts));
    // A stopped recording ends in an error; what the muxer left is what counts.
    return (stop_after > 0 ? ran.code != -1 && QFileInfo(path).size() > 0 : ran.code == 0) ? path : QString();
}

QString make_vfr_recording(const QString& path, int seconds, int scene, int audio_seconds)
{
    // Two frames in seven dropped, the rest up to 2 ms off their place.
    const QString video = QString("hue=h=%1,select='not(eq(mod(n\\,4)\\,1))*not(eq(mod(n\\,7)\\,3))',settb=1/90000,"
                                  "setpts='PTS+(mod(N*7\\,5)-2)*90'")
                              .arg(50 * scene);
    const QString tone = QString("sine=frequency=%1:duration=%2:sample_rate=48000")
                             .arg(440 + 110 * scene)
                             .arg(audio_seconds > 0 ? audio_seconds : seconds);
    const QString args = QString("-f lavfi -i testsrc2=size=320x240:rate=30:duration=%1 -f lavfi -i %2 -map 0 -map 1 "
                                 "-vf %3 -fps_mode vfr -video_track_timescale 90000 -pix_fmt yuv420p -c:v libx264 "
                                 "-preset ultrafast -bf 0 -g 60 -c:a aac")
                             .arg(seconds)
                             .arg(tone, video);
    return ffmpeg(args.split(' ') + QStringList{path}) ? path : QString();
}

quint16 free_port()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

QList<qint64> pids_matching(const QString& needle)
{
    QList<qint64> pids;
    const QStringList entries = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (ok && QString::fromUtf8(read_file("/proc/" + entry + "/cmdline").replace('\0', ' ')).contains(needle))
            pids << pid;
    }
    return pids;
}

QByteArray read_file(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool write_file(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QString write_script(const QString& path, const QByteArray& body)
{
    if (!write_file(path, "#!/bin/sh\n" + body))
        return {};
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) ? path : QString();
}

} // namespace testmedia

namespace testenv {

QString shared_temp(const char* name)
{
    return QFile::decodeName(protocol::temp_path(name).c_str());
}

QString isolate_host_home()
{
    static QTemporaryDir home;
    qputenv("HEXLUNE_HOME", home.path().toUtf8());
    return home.path();
}

} // namespace testenv
