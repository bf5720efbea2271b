// A capture's fragmented MP4 made ordinary in place: real files made by the
// stock ffmpeg, read back by ffprobe and decoded by ffmpeg.

#include "mp4finish.h"
#include "testmedia.h"

#include <QCryptographicHash>
#include <QtTest>

using ffexe::Mp4Finish;

namespace {

// Standard output of a program; its standard error (and a bad end) in `errors`.
QByteArray run(const QString& program, const QStringList& args, QByteArray* errors = nullptr)
{
    QProcess p;
    p.start(program, args);
    const bool ended = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (errors)
        *errors = p.readAllStandardError() + (ended ? "" : "(failed)");
    return p.readAllStandardOutput();
}

// Per stream, each packet's times, size and key flag, in file order. The
// demuxer guesses durations differently for fragments, so they are left out.
QMap<QString, QStringList> packets(const QString& path)
{
    QMap<QString, QStringList> streams;
    const QByteArray out = run(
        "ffprobe", {"-v", "error", "-show_entries", "packet=stream_index,pts,dts,size,flags", "-of", "csv=p=0", path});
    for (const QByteArray& line : out.split('\n')) {
        if (!line.isEmpty())
            streams[QString::fromUtf8(line.left(line.indexOf(',')))] << QString::fromUtf8(line);
    }
    return streams;
}

double duration(const QString& path)
{
    return run("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path})
        .trimmed()
        .toDouble();
}

// Top-level boxes as "type@offset".
QStringList top_level_boxes(const QString& path)
{
    QFile file(path);
    QStringList boxes;
    if (!file.open(QIODevice::ReadOnly))
        return boxes;
    const QByteArray data = file.readAll();
    qint64 pos = 0;
    while (data.size() - pos >= 16) {
        const auto* p = reinterpret_cast<const uchar*>(data.constData() + pos);
        quint64 size = qFromBigEndian<quint32>(p);
        if (size == 1)
            size = qFromBigEndian<quint64>(p + 8);
        boxes << QString("%1@%2").arg(QString::fromLatin1(data.mid(pos + 4, 4))).arg(pos);
        if (size < 8)
            break;
        pos += qint64(size);
    }
    return boxes;
}

QByteArray digest(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "missing";
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Md5);
}

} // namespace

class TestMp4Finish : public QObject
{
    Q_OBJECT
private slots:
    void finish_data();
    void finish();

private:
    QString make(const QString& source, const QString& name);

    QTemporaryDir m_dir;
};

QString TestMp4Finish::make(const QString& source, const QString& name)
{
    const QString path = m_dir.filePath(name);
    if (source == "missing")
        return path;
    if (source == "text") {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write("not a video at all, just some words long enough to look like boxes");
        return path;
    }
    QStringList args = QString("-f lavfi -i testsrc2=size=320x240:rate=25:duration=5").split(' ');
    if (source != "video only")
        args += QString("%1-f lavfi -i sine=frequency=440:duration=5 -c:a aac")
                    .arg(source == "audio starts late" ? "-itsoffset 0.7 " : "")
                    .split(' ');
    args += QString("-c:v libx264 -pix_fmt yuv420p %1")
                .arg(source == "b-frames" ? "-preset medium -bf 3 -g 50" : "-preset ultrafast -g 25")
                .split(' ');
    if (source != "ordinary") // as FFmpeg.exe records a capture
        args += QString("-movflags +empty_moov+default_base_moof -frag_duration 1000000").split(' ');
    return testmedia::ffmpeg(args << path) ? path : QString();
}

void TestMp4Finish::finish_data()
{
    // damage: "media" cuts the file inside its last media box, "header" inside its last fragment header, as when
    // ffmpeg is killed while writing them.
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("result");
    const int finished = int(Mp4Finish::Finished), untouched = int(Mp4Finish::NotFragmented);
    QTest::newRow("audio and video") << "audio and video"
                                     << "" << finished;
    QTest::newRow("video only") << "video only"
                                << "" << finished;
    QTest::newRow("b-frames keep their composition times") << "b-frames"
                                                           << "" << finished;
    QTest::newRow("audio that starts late keeps its start") << "audio starts late"
                                                            << "" << finished;
    QTest::newRow("cut inside the last media box") << "audio and video"
                                                   << "media" << finished;
    QTest::newRow("cut inside the last fragment header") << "audio and video"
                                                         << "header" << finished;
    QTest::newRow("an ordinary mp4 is left alone") << "ordinary"
                                                   << "" << untouched;
    QTest::newRow("not an mp4") << "text"
                                << "" << untouched;
    QTest::newRow("no file") << "missing"
                             << "" << untouched;
}

void TestMp4Finish::finish()
{
    QFETCH(QString, source);
    QFETCH(QString, damage);
    QFETCH(int, result);

    const QString path = make(source, QString(QTest::currentDataTag()).replace(' ', '_') + ".mp4");
    QVERIFY(!path.isEmpty());
    const QMap<QString, QStringList> whole = packets(path);
    const double whole_duration = duration(path);
    if (!damage.isEmpty()) {
        const QStringList boxes = top_level_boxes(path);
        const QStringList moofs = boxes.filter(QRegularExpression("^moof@"));
        QVERIFY(!moofs.isEmpty());
        QFile file(path);
        // The last fragment header is cut 20 bytes in, past its size and type.
        QVERIFY(file.resize(damage == "media" ? file.size() - 3000 : moofs.last().section('@', 1).toLongLong() + 20));
    }
    const QByteArray before = digest(path);

    std::string error;
    QCOMPARE(int(ffexe::finish_fragmented_mp4(path.toStdString(), &error)), result);
    if (result != int(Mp4Finish::Finished)) {
        QCOMPARE(digest(path), before);
        return;
    }
    QVERIFY2(error.empty(), error.c_str());

    // An ordinary MP4: one full index after the media, no fragment left.
    const QString boxes = top_level_boxes(path).join(' ').remove(QRegularExpression("@\\d+"));
    QVERIFY2(boxes.count("moov") == 1 && boxes.endsWith("moov") && !boxes.contains("moof") && !boxes.contains("mfra"),
             qPrintable(boxes));
    // The same packets at the same times (a cut file: the ones it still holds, losing at most two seconds).
    const QMap<QString, QStringList> now = packets(path);
    QCOMPARE(now.keys(), whole.keys());
    for (const QString& stream : now.keys()) {
        const QStringList& all = whole[stream];
        QCOMPARE(now[stream], damage.isEmpty() ? all : all.mid(0, now[stream].size()));
    }
    const double kept = duration(path);
    QVERIFY2(damage.isEmpty() ? qAbs(kept - whole_duration) < 0.05 : kept > whole_duration - 2.0,
             qPrintable(QString("%1 of %2 s").arg(kept).arg(whole_duration)));
    // It decodes without a complaint, from the start and after a seek.
    for (const QStringList& seek : {QStringList{}, QStringList{"-ss", "3"}}) {
        QByteArray errors;
        run("ffmpeg", QStringList{"-v", "error", "-nostdin"} + seek + QStringList{"-i", path, "-f", "null", "-"},
            &errors);
        QVERIFY2(errors.isEmpty(), errors.constData());
    }
    // Finishing again changes nothing.
    const QByteArray done = digest(path);
    QCOMPARE(int(ffexe::finish_fragmented_mp4(path.toStdString())), int(Mp4Finish::NotFragmented));
    QCOMPARE(digest(path), done);
}

QTEST_GUILESS_MAIN(TestMp4Finish)
#include "test_mp4finish.moc"
