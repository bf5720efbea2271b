// The transcoder contract (chunks, records, positions), the media probe, the clocks.

#include "platform/clock.h"
#include "testmedia.h"
#include "transcode/etaestimator.h"
#include "transcode/mediaprobe.h"
#include "transcode/retrydelay.h"
#include "transcode/toolprocess.h"
#include "transcode/transcoderoutput.h"

#include <QtTest>

class TestTranscode : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
private slots:
    // What a user gets when no test has put its own clock in: a minute of
    // sixty seconds, and waits that take their time.
    void system_clock()
    {
        platform::Clock& clock = platform::Clock::current();
        QCOMPARE(clock.minute_s(), 60);
        const qint64 start = clock.now_ms();
        qint64 fired = -1;
        QObject context;
        clock.after(200, &context, [&] { fired = clock.now_ms(); });
        QTRY_VERIFY_WITH_TIMEOUT(fired >= 0, 30000);
        QVERIFY2(fired - start >= 190, qPrintable(QString::number(fired - start)));
        // A step whose context has gone never runs.
        bool ran = false, later = false;
        {
            QObject gone;
            clock.after(0, &gone, [&] { ran = true; });
        }
        clock.after(0, &context, [&] { later = true; });
        QTRY_VERIFY_WITH_TIMEOUT(later, 30000);
        QVERIFY(!ran);
    }

    void classification_data()
    {
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<ChunkKind>("kind");
        QTest::addColumn<int>("phrase");
        const QByteArray record = "zo_progress|frame= 75 fps= 0.0 size= 256kB|time=00:00:03.00 bitrate= 699.1kbits/s";
        QTest::newRow("record hides a finish marker") << record + "\nzo_finished\n" << ChunkKind::Progress << -1;
        QTest::newRow("record not at the start") << "\n" + record << ChunkKind::Other << -1;
        QTest::newRow("first phrase in the fixed order wins")
            << QByteArray("zo_finished failed to read RTMP packet header; failed to connect socket")
            << ChunkKind::ErrorPhrase << 1;
        QTest::newRow("text ends at the first zero byte")
            << QByteArray("log\0failed to connect socket zo_finished", 40) << ChunkKind::Other << -1;
        QTest::newRow("a zero byte cuts a record") << QByteArray("zo_prog\0ress|x", 14) << ChunkKind::Other << -1;
    }
    void classification()
    {
        QFETCH(QByteArray, chunk);
        QFETCH(ChunkKind, kind);
        QFETCH(int, phrase);
        using protocol::Outcome;
        const protocol::Chunk c =
            classify_chunk(chunk_text(chunk), {Outcome::NoStream, Outcome::ConnectFailed, Outcome::UnsupportedFormat});
        QCOMPARE(c.kind, kind);
        QCOMPARE(c.kind == ChunkKind::ErrorPhrase ? int(c.outcome) : -1, phrase);
    }

    // File records come out whole, even a long name in two reads.
    void file_records()
    {
        QByteArray partial;
        QByteArray first = "log\nzo_file|/r/Could not write header.mp4\nzo_file|/r/" + QByteArray(5000, 'x');
        QCOMPARE(toolprocess::take_file_records(first, &partial), QList<QByteArray>{"/r/Could not write header.mp4"});
        QCOMPARE(first, QByteArray("log\n"));
        QByteArray second = QByteArray(".avi\nzo_finished\n");
        QCOMPARE(toolprocess::take_file_records(second, &partial),
                 QList<QByteArray>{"/r/" + QByteArray(5000, 'x') + ".avi"});
        QCOMPARE(classify_chunk(second, {protocol::Outcome::UnsupportedFormat}).kind, ChunkKind::Finished);
        QVERIFY(partial.isEmpty());
    }

    void progress_records_data()
    {
        // A record => pieces scanned: frame fps size time bitrate @ the time in whole seconds (-1: none). The fields
        // start at 7, 7.5, 7, "00:00:07.00", 7.5; a group that does not scan keeps them.
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("fields");
        const QByteArray time = "zo_progress||time=", bitrate = " bitrate=1kbits/s";
        QTest::newRow("blanks everywhere")
            << QByteArray("zo_progress|frame=  250 fps= 25 size=    1024kB|time=00:00:10.00 bitrate= 838.9kbits/s")
            << "3: 250 25 1024 00:00:10.00 838.9 @10";
        QTest::newRow("two pieces are ignored")
            << QByteArray("zo_progress|frame= 250 fps= 25 size= 1024kB") << "2: 7 7.5 7 00:00:07.00 7.5 @7";
        QTest::newRow("unknown values keep the old ones")
            << QByteArray("zo_progress|frame=9fps=N/Asize=3kB|time=00:01:00.00 bitrate=N/A")
            << "3: 9 7.5 7 00:01:00.00 7.5 @60";
        QTest::newRow("an over-long time is cut to the field")
            << time + QByteArray(100, 'x') + bitrate << "3: 7 7.5 7 " + QString(63, 'x') + " 7.5 @-1";
        QTest::newRow("only the first record of a chunk")
            << time + "00:00:01.00" + bitrate + "\n" + time + "00:00:02.00 bitrate=2kbits/s"
            << "5: 7 7.5 7 00:00:01.00 1 @1";
        QTest::newRow("fraction dropped from the position")
            << time + "01:02:03.99" + bitrate << "3: 7 7.5 7 01:02:03.99 1 @3723";
        QTest::newRow("a day is no time of day") << time + "24:00:00.00" + bitrate << "3: 7 7.5 7 24:00:00.00 1 @-1";
        QTest::newRow("negative time") << time + "-00:00:01.00" + bitrate << "3: 7 7.5 7 -00:00:01.00 1 @-1";
    }
    void progress_records()
    {
        QFETCH(QByteArray, record);
        QFETCH(QString, fields);
        ProgressFields f{7, 7.5f, 7, "00:00:07.00", 7.5f};
        const int pieces = scan_progress_record(record, f);
        const QString got =
            QString::asprintf("%d: %d %g %lld %s %g @%lld", pieces, f.frame, double(f.fps), qlonglong(f.size), f.time,
                              double(f.bitrate), qlonglong(position_seconds(f.time).value_or(-1)));
        QCOMPARE(got, fields);
    }

    void probe_data()
    {
        // file | what the stock ffmpeg writes into it | success, duration, fps as probed
        QTest::addColumn<QString>("row");
        QTest::newRow("29.97 rounds up") << "b.mp4|testsrc=rate=30000/1001:duration=2|1 2 30";
        QTest::newRow("no duration in the container") << "d.h264|testsrc=rate=25:duration=1|1 -9223372036854 25";
        QTest::newRow("audio only fails after the duration") << "e.wav|sine=duration=2|0 2 0";
        QTest::newRow("non-ASCII path") << "视频 clip.mp4|testsrc=rate=25:duration=2|1 2 25";
        QTest::newRow("missing file") << "gone.mp4||0 0 0";
    }
    void probe()
    {
        QFETCH(QString, row);
        const QString file = row.section('|', 0, 0), source = row.section('|', 1, 1), probed = row.section('|', 2);
        const QString path = m_dir.filePath(file);
        if (!source.isEmpty())
            QVERIFY(testmedia::ffmpeg({"-f", "lavfi", "-i", source, path}));
        MediaInfo info{99, 99}; // the probe clears what the caller left
        const bool ok = probe_media_file(path.toUtf8().constData(), &info);
        QCOMPARE(QString("%1 %2 %3").arg(int(ok)).arg(info.duration).arg(info.fps), probed);
    }

    // What the row's bar and the queue's label say after reports on the test's clock.
    void time_left_data()
    {
        // "file:SECONDS" begins a file; "MS:POSITION" is a report at that time.
        QTest::addColumn<QString>("reports");
        QTest::addColumn<QString>("file");  // the current file's time left; empty: not known yet
        QTest::addColumn<QString>("queue"); // with 90 s of media and 3 pauses of a second still to come
        const char* const rows[][4] = {
            {"nothing before two seconds of reports", "file:100 0:1 1999:50", "", ""},
            {"settled: 2 s of media per second", "file:100 0:1 2000:5", "00:48", "01:36"},
            {"zero positions while the encoder fills up do not count", "file:100 0:0 1500:0 2000:2 4000:10", "00:23",
             "00:49"},
            {"a stalled start is not a huge estimate", "file:100 0:1 5000:1", "", ""},
            {"no total, nothing to count down", "file:0 0:1 3000:7", "", ""},
            {"past the end is zero, never negative", "file:10 0:1 2000:12", "00:00", "00:20"},
            {"hours", "file:7200 0:1 4000:3", "3:59:54", "4:02:57"},
            {"beyond a hundred hours is no estimate", "file:360001 0:1 2000:2", "", ""},
            {"the next file goes on at the last speed", "file:100 0:1 2000:5 file:60 2500:0", "00:30", "01:18"},
            {"then its own speed takes over", "file:100 0:1 2000:5 file:60 3000:1 5000:11", "00:10", "00:31"},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]) << QString(r[3]);
    }
    void time_left()
    {
        QFETCH(QString, reports);
        QFETCH(QString, file);
        QFETCH(QString, queue);
        qint64 now = 0;
        EtaEstimator eta([&now] { return now; });
        for (const QString& report : reports.split(' ')) {
            const QStringList parts = report.split(':');
            if (parts[0] == "file") {
                eta.begin_file(parts[1].toDouble());
            } else {
                now = parts[0].toLongLong();
                eta.update(parts[1].toDouble());
            }
        }
        const auto text = [](std::optional<qint64> s) { return s ? EtaEstimator::format(*s) : QString(); };
        QCOMPARE(text(eta.file_left()), file);
        QCOMPARE(text(eta.queue_left(90, 3)), queue);
    }

    // A push spares a server that is down for long; a capture loses every second it waits, so a short outage is
    // tried again at once. (That a good reconnect starts them again is the sessions' rule, tested with them.)
    void retry_waits()
    {
        for (auto [delay, waits] : {std::pair{RetryDelay::push(), QList<int>{2000, 4000, 8000, 16000, 30000, 30000}},
                                    std::pair{RetryDelay::capture(), QList<int>{500, 1000, 2000, 3000, 3000}}}) {
            QList<int> got;
            for (int i = 0; i < waits.size(); ++i)
                got << delay.next_ms();
            QCOMPARE(got, waits);
        }
    }
};

QTEST_GUILESS_MAIN(TestTranscode)
#include "test_transcode.moc"
