#include "testmedia.h"
#include "transcode/mediaprobe.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TestMediaProbe : public QObject
{
    Q_OBJECT
private slots:
    void probe_data();
    void probe();

private:
    QTemporaryDir m_dir;
};

enum class Source { Clip, Ffmpeg, Nothing };
Q_DECLARE_METATYPE(Source)

void TestMediaProbe::probe_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<Source>("source");
    QTest::addColumn<QStringList>("args"); // Clip: rate and seconds; Ffmpeg: everything before the output
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("duration");
    QTest::addColumn<int>("fps");

    const auto pattern = [](const QString& rate, const QString& seconds) {
        return QStringList{"-f", "lavfi", "-i",
                           QString("testsrc2=size=160x120:rate=%1:duration=%2").arg(rate, seconds)};
    };

    QTest::newRow("25 fps") << "a.mp4" << Source::Clip << QStringList{"25", "3"} << true << qint64(3) << 25;
    QTest::newRow("29.97 fps") << "b.mp4" << Source::Clip << QStringList{"30000/1001", "2"} << true << qint64(2) << 30;
    QTest::newRow("23.976 fps") << "c.mp4" << Source::Clip << QStringList{"24000/1001", "2"} << true << qint64(2) << 24;
    QTest::newRow("3.9 s truncated") << "d.mp4" << Source::Ffmpeg << pattern("25", "3.9") + QStringList{"-c:v", "mpeg4"}
                                     << true << qint64(3) << 25;
    QTest::newRow("no duration in container")
        << "e.h264" << Source::Ffmpeg << pattern("25", "1") + QStringList{"-c:v", "libx264"} << true
        << qint64(-9223372036854) << 25;
    // IVF states no average rate; the stream's raw rate stands in.
    QTest::newRow("no average rate") << "f.ivf" << Source::Ffmpeg
                                     << pattern("30000/1001", "2") + QStringList{"-c:v", "libvpx"} << true << qint64(2)
                                     << 30;
    QTest::newRow("audio only") << "g.wav" << Source::Ffmpeg
                                << QStringList{"-f", "lavfi", "-i", "sine=frequency=440:duration=2"} << false
                                << qint64(2) << 0;
    QTest::newRow("missing file") << "missing.mp4" << Source::Nothing << QStringList() << false << qint64(0) << 0;
    QTest::newRow("non-ASCII path") << "视频/测试 clip.mp4" << Source::Clip << QStringList{"25", "2"} << true
                                    << qint64(2) << 25;
}

void TestMediaProbe::probe()
{
    QFETCH(QString, file);
    QFETCH(Source, source);
    QFETCH(QStringList, args);

    const QString path = m_dir.filePath(file);
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    if (source == Source::Clip)
        QVERIFY(!testmedia::make_clip(path, args.at(1).toInt(), 160, 120, args.at(0)).isEmpty());
    else if (source == Source::Ffmpeg)
        QVERIFY(testmedia::ffmpeg(args << path));

    MediaInfo info{99, 99}; // the probe clears what the caller left
    QTEST(probe_media_file(path.toUtf8().constData(), &info), "ok");
    QTEST(info.duration, "duration");
    QTEST(info.fps, "fps");
}

QTEST_GUILESS_MAIN(TestMediaProbe)
#include "test_mediaprobe.moc"
