#include "testmedia.h"
#include "transcode/conworker.h"
#include "transcode/mediaprobe.h"

#include <QtTest>

#include <cstdio>
#include <tuple>

class TestTranscode : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
private slots:
    void progress_records()
    {
        const auto cls = [](const QByteArray& chunk) {
            const ChunkClass c =
                classify_chunk(chunk_text(chunk), {"Could not write header", "failed to connect socket",
                                                   "failed to read RTMP packet header"});
            return std::pair(c.kind, c.phrase);
        };
        const QByteArray record = "zo_progress|frame= 75 fps= 0.0 size= 256kB|time=00:00:03.00 bitrate= 699.1kbits/s";
        QCOMPARE(cls(record + "\nzo_finished\n"), std::pair(ChunkKind::Progress, -1));
        QCOMPARE(cls("\n" + record), std::pair(ChunkKind::Other, -1));
        QCOMPARE(cls("muxing 0.1%\nzo_finished\n"), std::pair(ChunkKind::Finished, -1));
        QCOMPARE(cls("zo_finished failed to read RTMP packet header; failed to connect socket"),
                 std::pair(ChunkKind::ErrorPhrase, 1));

        const std::tuple<QByteArray, int, int, float, qint64, QByteArray, float> rows[] = {
            {"zo_progress|frame=  250 fps= 25 size=    1024kB|time=00:00:10.00 bitrate= 838.9kbits/s", 3, 250, 25.0f,
             1024, "00:00:10.00", 838.9f},
            {"zo_progress|frame= 250 fps= 25 size= 1024kB", 2, 7, 7.5f, 7, "00:00:07.00", 7.5f}, // two pieces ignored
            {"zo_progress||time=" + QByteArray(100, 'x') + " bitrate=1kbits/s", 3, 7, 7.5f, 7, QByteArray(63, 'x'),
             7.5f},
        };
        for (const auto& [line, pieces, frame, fps, size, time, bitrate] : rows) {
            ProgressFields fields{7, 7.5f, 7, "00:00:07.00", 7.5f};
            QCOMPARE(scan_progress_record(line, fields), pieces);
            QCOMPARE(fields.frame, frame);
            QCOMPARE(fields.fps, fps);
            QCOMPARE(fields.size, size);
            QCOMPARE(QByteArray(fields.time, qstrnlen(fields.time, sizeof fields.time)), time);
            QCOMPARE(fields.bitrate, bitrate);
        }
        QCOMPARE(position_seconds("01:02:03.99"), 3723);
        QVERIFY(!position_seconds("24:00:00.00"));

        const std::pair<QByteArray, QByteArray> shapes[] = {
            {"frame=75fps=24.97size=256kB", "time=00:00:03.00 bitrate= 699.1kbits/s"},
            {"frame=-1fps=+2.5size=-3kB", "time=-00:00:01.00\tbitrate=1e3kbits/s"},
            {"frame=9fps=N/Asize=3kB", "time=00:01:00.00 bitrate=N/A"},
        };
        for (const auto& [counters, timing] : shapes) {
            ProgressFields fast{7, 7.5f, 7, "7", 7.5f}, plain = fast;
            scan_progress_record("zo_progress|" + counters + "|" + timing, fast);
            std::sscanf(counters.constData(), "frame=%dfps=%fsize=%lldkB", &plain.frame, &plain.fps, &plain.size);
            std::sscanf(timing.constData(), "time=%63s bitrate=%fkbits/s", plain.time, &plain.bitrate);
            QCOMPARE(fast.frame, plain.frame);
            QCOMPARE(fast.fps, plain.fps);
            QCOMPARE(fast.size, plain.size);
            QCOMPARE(QByteArray(fast.time), QByteArray(plain.time));
            QCOMPARE(fast.bitrate, plain.bitrate);
        }
    }

    void probe()
    {
        const std::tuple<QString, QString, bool, qint64, int> rows[] = {
            {"b.mp4", "testsrc=rate=30000/1001:duration=2", true, 2, 30},
            {"d.h264", "testsrc=rate=25:duration=1", true, -9223372036854, 25}, // no duration in the container
            {"e.wav", "sine=duration=2", false, 2, 0},
            {"视频 clip.mp4", "testsrc=rate=25:duration=2", true, 2, 25},
        };
        for (const auto& [file, source, ok, duration, fps] : rows) {
            const QString path = m_dir.filePath(file);
            QVERIFY(testmedia::ffmpeg({"-f", "lavfi", "-i", source, path}));
            MediaInfo info{99, 99}; // the probe clears what the caller left
            QCOMPARE(probe_media_file(path.toUtf8().constData(), &info), ok);
            QCOMPARE(info.duration, duration);
            QCOMPARE(info.fps, fps);
        }
    }

    void arguments()
    {
        const QStringList in{"-i", "/in/a b.mp4"}, out{"/out/a b_zo.avi"};
        const auto args = [](bool useParams, int sizeIndex, int bitrate) {
            return ConWorker::build_arguments(
                {sizeIndex, "/in/a b.mp4", "/out/a b_zo.avi", 1280, 720, bitrate, 25, useParams});
        };
        QCOMPARE(args(false, 2, 1600), in + out);
        QCOMPARE(args(true, 0, 0), in + out);
        QCOMPARE(args(true, 0, 1200), in + QStringList({"-r", "25", "-b:v", "1200k"}) + out);
        QCOMPARE(args(true, 1, 0), in + QStringList({"-r", "25", "-s", "1280x720", "-b:v", "0k"}) + out);
    }

    void converts_to_requested_size()
    {
        ConWorker job({1, testmedia::make_clip(m_dir.filePath("clip.mp4"), 3), m_dir.path() + "\\clip_zo.mp4", 640, 360,
                       800, 25, true});
        QSignalSpy progress(&job, &ConWorker::sg_progress), finished(&job, &ConWorker::sg_finished);
        job.start();
        QCOMPARE(job.save_path(), m_dir.path() + "/clip_zo.mp4");
        QVERIFY(finished.wait(240000));
        QVERIFY(!progress.isEmpty());
        for (qsizetype i = 0; i < progress.size(); ++i) {
            QCOMPARE(progress.at(i).at(0).toInt(), 3);
            QVERIFY(progress.at(i).at(1).toInt() >= (i ? progress.at(i - 1).at(1).toInt() : 0));
        }
        QCOMPARE(progress.last(), QVariantList({3, 3}));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(finished.count(), 1);
        QProcess probe;
        probe.start("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height", "-of",
                                "csv=p=0", job.save_path()});
        QVERIFY(probe.waitForFinished(60000));
        QCOMPARE(probe.readAllStandardOutput().trimmed(), QByteArray("640,360"));
    }

    void stop_mid_run_reports_nothing()
    {
        const QString dst = m_dir.filePath("long_zo_stopped.mp4");
        ConWorker job({2, testmedia::make_clip(m_dir.filePath("long.mp4"), 30, 320, 240, "25", false), dst, 1280, 720,
                       4000, 25, true});
        job.stop(); // nothing runs yet
        QSignalSpy progress(&job, &ConWorker::sg_progress), finished(&job, &ConWorker::sg_finished);
        job.start();
        QVERIFY(progress.wait(120000));
        QVERIFY(progress.last().at(1).toInt() < 30);
        job.stop();
        job.stop();
        QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(dst).isEmpty(), 30000);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(finished.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestTranscode)
#include "test_transcode.moc"
