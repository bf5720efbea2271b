#include "rtmpserver.h"
#include "testmedia.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cinttypes>
#include <cstdio>

namespace {

// One run of FFmpeg.exe, with every read of its output kept apart, as the
// plug-in sees them.
class Run
{
public:
    explicit Run(const QStringList& args, const QString& ffmpeg = QString())
    {
        if (!ffmpeg.isNull()) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("DAVAZ_FFMPEG", ffmpeg);
            process.setProcessEnvironment(env);
        }
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, [this] { chunks << process.readAll(); });
        process.start(QCoreApplication::applicationDirPath() + "/FFmpeg.exe", args);
    }
    ~Run()
    {
        process.kill();
        process.waitForFinished();
    }

    bool finish(int timeoutMs = 120000)
    {
        QSignalSpy finished(&process, &QProcess::finished);
        return process.state() == QProcess::NotRunning || finished.wait(timeoutMs);
    }
    QByteArray output() const { return chunks.join(); }
    QList<QByteArray> records() const
    {
        QList<QByteArray> found;
        for (const QByteArray& line : output().split('\n')) {
            if (line.startsWith("zo_progress"))
                found << line;
        }
        return found;
    }

    QProcess process;
    QList<QByteArray> chunks;
};

// A record scanned the way the plug-in scans it.
struct Scanned
{
    int fields = 0;
    int frame = 0;
    double seconds = 0;
};

Scanned scan(const QByteArray& record)
{
    const QList<QByteArray> pieces = record.split('|');
    QByteArray counts = pieces.value(1);
    counts.replace(' ', "");
    const QByteArray times = pieces.value(2);
    Scanned s;
    float fps = 0, bitrate = 0;
    int64_t size = 0;
    char time[64] = {};
    s.fields = std::sscanf(counts.constData(), "frame=%dfps=%fsize=%" SCNd64 "kB", &s.frame, &fps, &size) +
               std::sscanf(times.constData(), "time=%63s bitrate=%fkbits/s", time, &bitrate);
    int h = 0, m = 0, sec = 0, cs = 0;
    std::sscanf(time, "%d:%d:%d.%d", &h, &m, &sec, &cs);
    s.seconds = h * 3600 + m * 60 + sec + cs / 100.0;
    return s;
}

QByteArray probe(const QString& file)
{
    QProcess p;
    p.start("ffprobe",
            {"-v", "error", "-show_entries", "format=duration:stream=codec_type", "-of", "default=nw=1", file});
    p.waitForFinished(60000);
    return p.readAllStandardOutput();
}

const QString k_connect = "failed to connect socket";
const QString k_rtmp = "failed to read RTMP packet header";

} // namespace

class TestFfmpegExe : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void conversion();
    void bad_start_data();
    void bad_start();
    void failure_data();
    void failure();
    void capture_data();
    void capture();
    void killed_data();
    void killed();

private:
    QString stop_file() const { return QDir::tempPath() + "/zo_ff_et.cfg"; }

    QTemporaryDir m_dir;
    QString m_clip;
    RtmpServer m_server;
    QProcess m_publisher;
};

void TestFfmpegExe::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // A key frame every second, so a capture can start soon after it joins.
    m_clip = m_dir.filePath("clip.mp4");
    QVERIFY(testmedia::ffmpeg({"-f",   "lavfi",   "-i",        "testsrc2=size=320x240:rate=25:duration=10",
                               "-f",   "lavfi",   "-i",        "sine=frequency=440:duration=10",
                               "-c:v", "libx264", "-preset",   "ultrafast",
                               "-g",   "25",      "-pix_fmt",  "yuv420p",
                               "-c:a", "aac",     "-shortest", m_clip}));

    QVERIFY(m_server.start());
    m_publisher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_publisher.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-stream_loop", "-1", "-i",
                                 m_clip, "-c", "copy", "-f", "flv", m_server.url("s")});
    QTRY_VERIFY2_WITH_TIMEOUT(m_server.log().contains("publish: name='s'"), qPrintable(m_server.log()), 60000);
}

void TestFfmpegExe::init()
{
    QFile::remove(stop_file());
}

void TestFfmpegExe::cleanupTestCase()
{
    m_publisher.terminate();
    if (!m_publisher.waitForFinished(10000))
        m_publisher.kill();
    m_publisher.waitForFinished();
    m_server.stop();
    QFile::remove(stop_file());
    QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(m_dir.path()).isEmpty(), 20000);
}

void TestFfmpegExe::conversion()
{
    const QString out = m_dir.filePath("converted.mp4");
    Run run({"-i", m_clip, "-r", "25", "-s", "640x480", "-b:v", "800k", out});
    QVERIFY(run.finish());
    QCOMPARE(run.process.exitCode(), 0);

    // Records in the exact shape, rising.
    const QRegularExpression shape("^zo_progress\\|frame= \\d+ fps= \\d+\\.\\d\\d size= \\d+kB\\|"
                                   "time=\\d\\d:\\d\\d:\\d\\d\\.\\d\\d bitrate= \\d+\\.\\dkbits/s$");
    const QList<QByteArray> records = run.records();
    QVERIFY2(records.size() >= 2, run.output().constData());
    Scanned previous;
    for (const QByteArray& record : records) {
        QVERIFY2(shape.match(QString::fromUtf8(record)).hasMatch(), record.constData());
        const Scanned now = scan(record);
        QCOMPARE(now.fields, 5);
        QVERIFY(now.frame >= previous.frame && now.seconds >= previous.seconds);
        previous = now;
    }
    QVERIFY(scan(records.last()).seconds > scan(records.first()).seconds);

    // A read that begins with a record holds nothing else, and the marker
    // comes last, in a read of its own.
    qint64 markerIndex = -1;
    for (qsizetype i = 0; i < run.chunks.size(); ++i) {
        const QByteArray& chunk = run.chunks[i];
        if (chunk.startsWith("zo_progress"))
            QCOMPARE(chunk.count('\n'), chunk.count("zo_progress"));
        if (chunk.contains("zo_finished"))
            markerIndex = i;
    }
    QCOMPARE(markerIndex, run.chunks.size() - 1);
    QVERIFY(!run.chunks.last().contains("zo_progress"));
    QVERIFY(run.output().endsWith("\nzo_finished\n"));
    QVERIFY(probe(out).contains("codec_type=video"));
}

void TestFfmpegExe::bad_start_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("ffmpeg");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("no arguments") << QStringList{} << QString() << 2 << "usage";
    QTest::newRow("ffmpeg missing") << QStringList{"-i", "in.mp4", "out.mp4"} << "/nowhere/ffmpeg" << 127
                                    << "/nowhere/ffmpeg";
}

void TestFfmpegExe::bad_start()
{
    QFETCH(QStringList, args);
    QFETCH(QString, ffmpeg);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    Run run(args, ffmpeg);
    QVERIFY(run.finish());
    QCOMPARE(run.process.exitCode(), exitCode);
    QVERIFY2(run.output().contains(message.toUtf8()), run.output().constData());
    // The capture would take this for a bad stream address.
    QVERIFY(!run.output().contains("No such file or directory"));
}

void TestFfmpegExe::failure_data()
{
    // %free: a port nobody listens on; %server: the rtmp server; %clip, %out.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("phrase");
    QTest::addColumn<bool>("ownLine");

    QTest::newRow("connection refused, capture")
        << QStringList{"-i", "rtmp://127.0.0.1:%free/live/x", "-vcodec", "copy", "%out.mp4"} << k_connect << true;
    QTest::newRow("connection refused, push")
        << QStringList{"-re", "-i", "%clip", "-c", "copy", "-f", "flv", "rtmp://127.0.0.1:%free/live/x"} << k_connect
        << true;
    QTest::newRow("unknown application") << QStringList{"-i", "rtmp://127.0.0.1:%server/nope/x", "-vcodec", "copy",
                                                        "%out.mp4"}
                                         << k_rtmp << true;
    QTest::newRow("stream never published")
        << QStringList{"-i", "rtmp://127.0.0.1:%server/live/nobody", "-vcodec", "copy", "%out.mp4"} << k_rtmp << true;
    QTest::newRow("stream already published")
        << QStringList{"-re", "-i", "%clip", "-c", "copy", "-f", "flv", "rtmp://127.0.0.1:%server/live/s"} << k_rtmp
        << true;
    QTest::newRow("unknown protocol") << QStringList{"-i", "foo://x", "-vcodec", "copy", "%out.mp4"}
                                      << "Protocol not found" << false;
    QTest::newRow("missing input") << QStringList{"-i", "%clip.missing", "-vcodec", "copy", "%out.mp4"}
                                   << "No such file or directory" << false;
    QTest::newRow("codec not allowed in the container")
        << QStringList{"-i", "%clip", "-vcodec", "copy", "%out.ogg"} << "Could not write header" << false;
}

void TestFfmpegExe::failure()
{
    QFETCH(QStringList, args);
    QFETCH(QString, phrase);
    QFETCH(bool, ownLine);

    const QString freePort = QString::number(testmedia::free_port());
    for (QString& arg : args) {
        arg.replace("%free", freePort).replace("%server", QString::number(m_server.port()));
        arg.replace("%clip", m_clip).replace("%out", m_dir.filePath("failed"));
    }
    Run run(args);
    QVERIFY(run.finish());
    QVERIFY(run.process.exitCode() != 0);
    const QByteArray out = run.output();
    QVERIFY2(out.contains(phrase.toUtf8()), out.constData());
    if (ownLine)
        QCOMPARE(out.split('\n').count(phrase.toUtf8()), 1);
    // The plug-in sees nothing in a read that begins with a record.
    for (const QByteArray& chunk : run.chunks)
        QVERIFY(!chunk.contains(phrase.toUtf8()) || !chunk.startsWith("zo_progress"));
    QVERIFY(!out.contains("zo_finished"));
}

void TestFfmpegExe::capture_data()
{
    QTest::addColumn<QString>("extension");
    QTest::addColumn<bool>("leftOverStopFile");

    QTest::newRow("mp4") << ".mp4" << false;
    QTest::newRow("avi") << ".avi" << false;
    QTest::newRow("stop file left from an earlier run") << ".mp4" << true;
}

void TestFfmpegExe::capture()
{
    QFETCH(QString, extension);
    QFETCH(bool, leftOverStopFile);

    QFile stop(stop_file());
    if (leftOverStopFile) {
        QVERIFY(stop.open(QIODevice::WriteOnly));
        stop.close();
    }
    const QString out = m_dir.filePath(QString("captured_%1%2").arg(QTest::currentDataTag()).arg(extension));
    Run run({"-i", m_server.url("s"), "-vcodec", "copy", out});
    QTRY_VERIFY2_WITH_TIMEOUT(!run.records().isEmpty() && scan(run.records().last()).seconds >= 2,
                              run.output().constData(), 60000);
    QCOMPARE(run.process.state(), QProcess::Running);

    if (leftOverStopFile)
        QVERIFY(stop.remove());
    QElapsedTimer sinceRequest;
    sinceRequest.start();
    QVERIFY(stop.open(QIODevice::WriteOnly));
    stop.close();
    QVERIFY2(run.finish(30000), run.output().constData());
    qInfo("ended %lld ms after the stop request", static_cast<long long>(sinceRequest.elapsed()));
    QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process.exitCode(), 0);

    const QByteArray info = probe(out);
    QVERIFY2(info.contains("codec_type=video"), info.constData());
    const QRegularExpressionMatch duration = QRegularExpression("duration=([0-9.]+)").match(QString::fromUtf8(info));
    QVERIFY2(duration.hasMatch() && duration.captured(1).toDouble() > 0, info.constData());
}

void TestFfmpegExe::killed_data()
{
    QTest::addColumn<QString>("stream");

    QTest::newRow("while capturing") << "s";
    QTest::newRow("while waiting for a stream that never comes") << "nobody";
}

void TestFfmpegExe::killed()
{
    QFETCH(QString, stream);

    const QString out = m_dir.filePath(QString("killed_%1.mp4").arg(stream));
    Run run({"-i", m_server.url(stream), "-vcodec", "copy", out});
    // FFmpeg.exe and its ffmpeg both name the output.
    QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(out).size() == 2, 30000);

    run.process.kill(); // what QProcess::close() does to it
    QVERIFY(run.finish());
    // Well inside the read time-out, after which an orphan would end by itself.
    QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(out).isEmpty(), 5000);
}

QTEST_GUILESS_MAIN(TestFfmpegExe)
#include "test_ffmpegexe.moc"
