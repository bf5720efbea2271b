// A capture's fragmented MP4 made ordinary in place, on files the stock ffmpeg makes.

#include "mp4finish.h"
#include "testmedia.h"

#include <QtTest>

#include <cerrno>
#include <unistd.h>

using ffexe::Mp4Finish;

namespace {

// Top-level boxes as "type@offset".
QStringList top_level_boxes(const QString& path)
{
    const QByteArray data = testmedia::read_file(path);
    QStringList boxes;
    for (qint64 pos = 0; data.size() - pos >= 16;) {
        const auto* p = reinterpret_cast<const uchar*>(data.constData() + pos);
        const quint64 size =
            qFromBigEndian<quint32>(p) == 1 ? qFromBigEndian<quint64>(p + 8) : qFromBigEndian<quint32>(p);
        boxes << QString("%1@%2").arg(QString::fromLatin1(data.mid(pos + 4, 4))).arg(pos);
        if (size < 8)
            break;
        pos += qint64(size);
    }
    return boxes;
}

// Moves every fragment from the third on one second later, as a recording
// that lost a second of its stream is written: its decode times jump.
bool add_gap(const QString& path)
{
    QByteArray data = testmedia::read_file(path);
    const qsizetype mdhd = data.indexOf("mdhd");
    if (mdhd < 0)
        return false;
    const auto* p = reinterpret_cast<const uchar*>(data.constData() + mdhd + 4);
    const quint64 second = qFromBigEndian<quint32>(p + (p[0] == 1 ? 20 : 12)); // the time scale
    int fragment = 0;
    for (const QString& box : top_level_boxes(path)) {
        if (!box.startsWith("moof@") || ++fragment < 3)
            continue;
        const qsizetype tfdt = data.indexOf("tfdt", box.section('@', 1).toLongLong());
        auto* t = reinterpret_cast<uchar*>(data.data() + tfdt + 4);
        if (t[0] == 1)
            qToBigEndian<quint64>(qFromBigEndian<quint64>(t + 4) + second, t + 4);
        else
            qToBigEndian<quint32>(quint32(qFromBigEndian<quint32>(t + 4) + second), t + 4);
    }
    return fragment >= 3 && testmedia::write_file(path, data);
}

} // namespace

class TestMp4Finish : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    // Five seconds of `source` as FFmpeg.exe records a capture, or an ordinary MP4, or no MP4 at all.
    QString make(const QString& source, const QString& name)
    {
        const QString path = m_dir.filePath(name);
        if (source == "missing")
            return path;
        if (source == "text")
            return testmedia::write_file(path, "not a video at all, just some words") ? path : QString();
        QStringList args = QString("-f lavfi -i testsrc2=size=320x240:rate=25:duration=5").split(' ');
        if (source != "video only")
            args += QString("%1-f lavfi -i sine=frequency=440:duration=5 -c:a aac")
                        .arg(source == "audio starts late" ? "-itsoffset 0.7 " : "")
                        .split(' ');
        args += QString("-c:v libx264 -pix_fmt yuv420p %1")
                    .arg(source == "b-frames" ? "-preset medium -bf 3 -g 50" : "-preset ultrafast -g 25")
                    .split(' ');
        if (source != "ordinary")
            args += QString("-movflags +empty_moov+default_base_moof -frag_duration 1000000").split(' ');
        return testmedia::ffmpeg(args << path) ? path : QString();
    }

private slots:
    void finish_data()
    {
        // damage: "media" cuts the file inside its last media box, "header" inside its last fragment header, as
        // when ffmpeg is killed while writing them; "gap" moves the later fragments' decode times a second on.
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("finished"); // false: left as it is
        const char* const rows[][4] = {
            // name, source, damage, finished
            {"audio and video", "audio and video", "", "1"},
            {"video only", "video only", "", "1"},
            {"b-frames keep their composition times", "b-frames", "", "1"},
            {"audio that starts late keeps its start", "audio starts late", "", "1"},
            {"cut inside the last media box", "audio and video", "media", "1"},
            {"cut inside the last fragment header", "audio and video", "header", "1"},
            {"a gap between fragments", "video only", "gap", "1"},
            {"an ordinary mp4 is left alone", "ordinary", "", ""},
            {"not an mp4", "text", "", ""},
            {"no file", "missing", "", ""},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]) << (*r[3] != 0);
    }
    void finish()
    {
        QFETCH(QString, source);
        QFETCH(QString, damage);
        QFETCH(bool, finished);

        const QString path = make(source, QString(QTest::currentDataTag()).replace(' ', '_') + ".mp4");
        QVERIFY(!path.isEmpty());
        QVERIFY(damage != "gap" || add_gap(path));
        const QList<QStringList> whole = testmedia::packets(path);
        const double whole_duration = testmedia::duration(path);
        const bool cut = damage == "media" || damage == "header";
        if (cut) {
            const QStringList moofs = top_level_boxes(path).filter(QRegularExpression("^moof@"));
            QVERIFY(!moofs.isEmpty());
            QFile file(path);
            // The last fragment header is cut 20 bytes in, past its size and type.
            QVERIFY(
                file.resize(damage == "media" ? file.size() - 3000 : moofs.last().section('@', 1).toLongLong() + 20));
        }
        const QByteArray before = testmedia::read_file(path);

        // Each write failing in turn leaves the file as it was and says so; then it is finished.
        std::string error;
        Mp4Finish result;
        for (int failing = damage == "media" ? 1 : 0;; ++failing) {
            int writes = 0;
            error.clear();
            const auto write = [&](int fd, const void* data, size_t size, off_t offset) {
                return ++writes == failing ? (errno = ENOSPC, ssize_t(-1)) : ::pwrite(fd, data, size, offset);
            };
            result = ffexe::finish_fragmented_mp4(path.toStdString(), &error, write);
            if (writes < failing || failing == 0)
                break;
            QCOMPARE(result, Mp4Finish::Failed);
            QVERIFY2(error.find("left as it was") != std::string::npos, error.c_str());
            QVERIFY(testmedia::read_file(path) == before);
        }
        QCOMPARE(result, finished ? Mp4Finish::Finished : Mp4Finish::NotFragmented);
        if (!finished) {
            QVERIFY(testmedia::read_file(path) == before);
            return;
        }
        QVERIFY2(error.empty(), error.c_str());

        // An ordinary MP4: one full index after the media, no fragment left.
        const QString boxes = top_level_boxes(path).join(' ').remove(QRegularExpression("@\\d+"));
        QVERIFY2(boxes.count("moov") == 1 && boxes.endsWith("moov") && !boxes.contains("moof") &&
                     !boxes.contains("mfra"),
                 qPrintable(boxes));
        // The same packets at the same times (a cut file: the ones it still holds, losing at most two seconds).
        const QList<QStringList> now = testmedia::packets(path);
        QCOMPARE(now.size(), whole.size());
        for (int stream = 0; stream < now.size(); ++stream)
            QCOMPARE(now[stream], cut ? whole[stream].mid(0, now[stream].size()) : whole[stream]);
        const double kept = testmedia::duration(path);
        QVERIFY2(cut ? kept > whole_duration - 2.0 : qAbs(kept - whole_duration) < 0.05,
                 qPrintable(QString("%1 of %2 s").arg(kept).arg(whole_duration)));
        // It decodes without a complaint, from the start and after a seek.
        for (const char* seek : {"", "3"}) {
            const QString errors = testmedia::decode_errors(path, seek);
            QVERIFY2(errors.isEmpty(), qPrintable(errors));
        }
        // Finishing again changes nothing.
        const QByteArray done = testmedia::read_file(path);
        QCOMPARE(ffexe::finish_fragmented_mp4(path.toStdString()), Mp4Finish::NotFragmented);
        QVERIFY(testmedia::read_file(path) == done);
    }
};

QTEST_GUILESS_MAIN(TestMp4Finish)
#include "test_mp4finish.moc"
