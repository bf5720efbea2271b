#include "testmedia.h"
#include "transcode/conworker.h"
#include "transcode/mediaprobe.h"

#include <QtTest>

#include <cinttypes>
#include <cstdio>

Q_DECLARE_METATYPE(ChunkKind)

class TestTranscode : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
private slots:
    void classify_data()
    {
        const QByteArray record = "zo_progress|frame= 75 fps= 0.0 size= 256kB|time=00:00:03.00 bitrate= 699.1kbits/s";
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<ChunkKind>("kind");
        QTest::addColumn<int>("phrase");
        QTest::newRow("progress at start, finish behind it") << record + "\nzo_finished\n" << ChunkKind::Progress << -1;
        QTest::newRow("progress marker not at start") << "\n" + record << ChunkKind::Other << -1;
        QTest::newRow("finish after text") << QByteArray("muxing 0.1%\nzo_finished\n") << ChunkKind::Finished << -1;
        QTest::newRow("phrase table order, before finish")
            << QByteArray("zo_finished failed to read RTMP packet header; failed to connect socket")
            << ChunkKind::ErrorPhrase << 1;
        QTest::newRow("zero byte hides the rest") << QByteArray("abc\0zo_finished", 15) << ChunkKind::Other << -1;
    }
    void classify()
    {
        QFETCH(QByteArray, chunk);
        const ChunkClass result =
            classify_chunk(chunk_text(chunk),
                           {"Could not write header", "failed to connect socket", "failed to read RTMP packet header"});
        QTEST(result.kind, "kind");
        QTEST(result.phrase, "phrase");
    }

    void scan_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<int>("pieces");
        QTest::addColumn<int>("frame");
        QTest::addColumn<float>("fps");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("time");
        QTest::addColumn<float>("bitrate");
        // Fields a record does not match keep their earlier 7, 7.5, 7, 00:00:07.00, 7.5.
        QTest::newRow("blanks around numbers")
            << QByteArray("zo_progress|frame=  250 fps= 25 size=    1024kB|time=00:00:10.00 bitrate= 838.9kbits/s") << 3
            << 250 << 25.0f << qint64(1024) << QByteArray("00:00:10.00") << 838.9f;
        QTest::newRow("two pieces ignored") << QByteArray("zo_progress|frame= 250 fps= 25 size= 1024kB") << 2 << 7
                                            << 7.5f << qint64(7) << QByteArray("00:00:07.00") << 7.5f;
        QTest::newRow("size beyond 32 bits")
            << QByteArray("zo_progress|frame=1 fps=1 size=5000000000kB|time=00:00:01.00 bitrate=1kbits/s") << 3 << 1
            << 1.0f << qint64(5000000000) << QByteArray("00:00:01.00") << 1.0f;
        QTest::newRow("over-long time token is cut")
            << QByteArray("zo_progress||time=" + QByteArray(100, 'x') + " bitrate=1kbits/s") << 3 << 7 << 7.5f
            << qint64(7) << QByteArray(63, 'x') << 7.5f;
    }
    void scan()
    {
        QFETCH(QByteArray, record);
        ProgressFields fields{7, 7.5f, 7, "00:00:07.00", 7.5f};
        QTEST(scan_progress_record(record, fields), "pieces");
        QTEST(fields.frame, "frame");
        QTEST(fields.fps, "fps");
        QTEST(fields.size, "size");
        // An overrun of the time field would show in the bitrate right behind it.
        QTEST(QByteArray(fields.time, qstrnlen(fields.time, sizeof fields.time)), "time");
        QTEST(fields.bitrate, "bitrate");
    }

    // Records in the transcoder's usual shape take a quicker path; it must agree with sscanf everywhere.
    void scan_agrees_with_sscanf_data()
    {
        QTest::addColumn<QByteArray>("counters");
        QTest::addColumn<QByteArray>("timing");
        QTest::newRow("usual") << QByteArray("frame=75fps=24.97size=256kB")
                               << QByteArray("time=00:00:03.00 bitrate= 699.1kbits/s");
        QTest::newRow("signed and tabbed")
            << QByteArray("frame=-1fps=+2.5size=-3kB") << QByteArray("time=-00:00:01.00\tbitrate=1e3kbits/s");
        QTest::newRow("half matched") << QByteArray("frame=9fps=N/Asize=3kB")
                                      << QByteArray("time=00:01:00.00 bitrate=N/A");
        QTest::newRow("odd numbers") << QByteArray("frame=0012fps=1.2.3size=99999999999kB")
                                     << QByteArray("time=x bitrate=.5kbits/s");
    }
    void scan_agrees_with_sscanf()
    {
        QFETCH(QByteArray, counters);
        QFETCH(QByteArray, timing);
        ProgressFields fast{7, 7.5f, 7, "7", 7.5f};
        scan_progress_record("zo_progress|" + counters + "|" + timing, fast);
        ProgressFields plain{7, 7.5f, 7, "7", 7.5f};
        int64_t size = plain.size;
        std::sscanf(counters.constData(), "frame=%dfps=%fsize=%" SCNd64 "kB", &plain.frame, &plain.fps, &size);
        plain.size = size;
        std::sscanf(timing.constData(), "time=%63s bitrate=%fkbits/s", plain.time, &plain.bitrate);
        QCOMPARE(fast.frame, plain.frame);
        QCOMPARE(fast.fps, plain.fps);
        QCOMPARE(fast.size, plain.size);
        QCOMPARE(QByteArray(fast.time), QByteArray(plain.time));
        QCOMPARE(fast.bitrate, plain.bitrate);
    }
    void position_data()
    {
        QTest::addColumn<QByteArray>("time");
        QTest::addColumn<qint64>("seconds"); // -1: no position
        QTest::newRow("ten seconds") << QByteArray("00:00:10.00") << qint64(10);
        QTest::newRow("fraction dropped") << QByteArray("01:02:03.99") << qint64(3723);
        QTest::newRow("24 hours") << QByteArray("24:00:00.00") << qint64(-1);
        QTest::newRow("empty") << QByteArray() << qint64(-1);
    }
    void position()
    {
        QFETCH(QByteArray, time);
        QTEST(position_seconds(time.constData()).value_or(-1), "seconds");
    }

    void probe_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<int>("fps");
        QTest::addColumn<QString>("source"); // the stock ffmpeg's lavfi input; empty: no file
        QTest::newRow("25 fps") << "a.mp4" << true << qint64(3) << 25 << "testsrc=rate=25:duration=3";
        QTest::newRow("29.97 fps") << "b.mp4" << true << qint64(2) << 30 << "testsrc=rate=30000/1001:duration=2";
        QTest::newRow("3.9 s truncated") << "c.mp4" << true << qint64(3) << 25 << "testsrc=rate=25:duration=3.9";
        QTest::newRow("no duration in container")
            << "d.h264" << true << qint64(-9223372036854) << 25 << "testsrc=rate=25:duration=1";
        QTest::newRow("audio only") << "e.wav" << false << qint64(2) << 0 << "sine=duration=2";
        QTest::newRow("missing file") << "missing.mp4" << false << qint64(0) << 0 << QString();
        QTest::newRow("non-ASCII path") << "视频 clip.mp4" << true << qint64(2) << 25 << "testsrc=rate=25:duration=2";
    }
    void probe()
    {
        QFETCH(QString, file);
        QFETCH(QString, source);
        const QString path = m_dir.filePath(file);
        if (!source.isEmpty())
            QVERIFY(testmedia::ffmpeg({"-f", "lavfi", "-i", source, path}));
        MediaInfo info{99, 99}; // the probe clears what the caller left
        QTEST(probe_media_file(path.toUtf8().constData(), &info), "ok");
        QTEST(info.duration, "duration");
        QTEST(info.fps, "fps");
    }

    void arguments_data()
    {
        QTest::addColumn<bool>("useParams");
        QTest::addColumn<int>("sizeIndex");
        QTest::addColumn<int>("bitrate");
        QTest::addColumn<QStringList>("middle"); // between "-i SRC" and DST
        QTest::newRow("parameters off") << false << 2 << 1600 << QStringList();
        QTest::newRow("own size, no bitrate") << true << 0 << 0 << QStringList();
        QTest::newRow("own size, bitrate") << true << 0 << 1200 << QStringList{"-r", "25", "-b:v", "1200k"};
        QTest::newRow("size forces a bitrate")
            << true << 1 << 0 << QStringList{"-r", "25", "-s", "1280x720", "-b:v", "0k"};
    }
    void arguments()
    {
        QFETCH(bool, useParams);
        QFETCH(int, sizeIndex);
        QFETCH(int, bitrate);
        QFETCH(QStringList, middle);
        const CWParam param{sizeIndex, "/in/a b.mp4", "/out/a b_zo.avi", 1280, 720, bitrate, 25, useParams};
        QCOMPARE(ConWorker::build_arguments(param), QStringList({"-i", param.src_path}) << middle << param.dst_path);
    }

    void converts_to_requested_size()
    {
        const QString clip = testmedia::make_clip(m_dir.filePath("clip.mp4"), 3);
        QVERIFY(!clip.isEmpty());
        QVERIFY(QDir(m_dir.path()).mkpath("run"));
        ConWorker job({1, clip, m_dir.path() + "\\run\\clip_zo.mp4", 640, 360, 800, 25, true});
        QSignalSpy progress(&job, &ConWorker::sg_progress);
        QSignalSpy finished(&job, &ConWorker::sg_finished);
        job.start();
        QCOMPARE(job.save_path(), m_dir.path() + "/run/clip_zo.mp4");
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
        // Upscaling a long clip keeps the transcoder busy well past the first record.
        const QString clip = testmedia::make_clip(m_dir.filePath("long.mp4"), 30, 320, 240, "25", false);
        QVERIFY(!clip.isEmpty());
        const QString dst = m_dir.filePath("long_zo_stopped.mp4");
        ConWorker job({2, clip, dst, 1280, 720, 4000, 25, true});
        job.stop(); // nothing runs yet
        QSignalSpy progress(&job, &ConWorker::sg_progress);
        QSignalSpy finished(&job, &ConWorker::sg_finished);
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
