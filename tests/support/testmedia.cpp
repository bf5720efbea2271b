#include "testmedia.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>

namespace testmedia {

bool ffmpeg(const QStringList& args, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("ffmpeg"), QStringList{"-hide_banner", "-loglevel", "error", "-nostdin", "-y"} + args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return false;
    }
    if (p.exitCode() != 0)
        qWarning("ffmpeg failed: %s", p.readAll().constData());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString make_clip(const QString& path, int seconds, int width, int height, const QString& rate, bool audio)
{
    QStringList args{
        "-f", "lavfi", "-i",
        QStringLiteral("testsrc2=size=%1x%2:rate=%3:duration=%4").arg(width).arg(height).arg(rate).arg(seconds)};
    if (audio)
        args << "-f"
             << "lavfi"
             << "-i" << QStringLiteral("sine=frequency=440:duration=%1").arg(seconds);
    args << "-c:v"
         << "libx264"
         << "-preset"
         << "ultrafast"
         << "-pix_fmt"
         << "yuv420p";
    if (audio)
        args << "-c:a"
             << "aac"
             << "-shortest";
    args << path;
    return ffmpeg(args) ? path : QString();
}

QString make_recording(const QString& path, int seconds, const Recording& settings, int timeoutMs)
{
    QStringList args{
        "-f", "lavfi", "-i",
        QStringLiteral("testsrc2=size=%1:rate=%2:duration=%3").arg(settings.size, settings.rate).arg(seconds)};
    for (int i = 0; i < settings.audio.size(); ++i)
        args << "-f"
             << "lavfi"
             << "-i"
             << QStringLiteral("sine=frequency=%1:duration=%2:sample_rate=%3")
                    .arg(330 + 110 * i + 40 * settings.scene)
                    .arg(seconds)
                    .arg(settings.audio[i].section(':', 0, 0));
    for (int i = 0; i <= settings.audio.size(); ++i)
        args << "-map" << QString::number(i);
    args << "-vf" << QStringLiteral("hue=h=%1").arg(50 * settings.scene) << "-pix_fmt"
         << "yuv420p";
    QStringList params = settings.video_params;
    if (settings.codec == "hevc") {
        params.prepend(QStringLiteral("log-level=error:bframes=%1:keyint=60").arg(settings.bframes));
        args << "-c:v"
             << "libx265"
             << "-preset"
             << "ultrafast"
             << "-x265-params" << params.join(':');
    } else {
        args << "-c:v"
             << "libx264"
             << "-preset"
             << "ultrafast"
             << "-bf" << QString::number(settings.bframes) << "-g"
             << "50";
        if (!params.isEmpty())
            args << "-x264-params" << params.join(':');
    }
    for (int i = 0; i < settings.audio.size(); ++i)
        args << QStringLiteral("-c:a:%1").arg(i) << "aac" << QStringLiteral("-ac:a:%1").arg(i)
             << settings.audio[i].section(':', 1, 1);
    args << settings.options << path;
    return ffmpeg(args, timeoutMs) ? path : QString();
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
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok)
            continue;
        QFile cmd(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!cmd.open(QIODevice::ReadOnly))
            continue;
        QByteArray line = cmd.readAll();
        line.replace('\0', ' ');
        if (QString::fromUtf8(line).contains(needle))
            pids << pid;
    }
    return pids;
}

} // namespace testmedia

#include <QTemporaryDir>

namespace testenv {

QString isolate_host_home()
{
    static QTemporaryDir home;
    qputenv("HEXLUNE_HOME", home.path().toUtf8());
    return home.path();
}

} // namespace testenv
