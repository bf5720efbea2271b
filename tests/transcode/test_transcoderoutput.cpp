#include "transcode/transcoderoutput.h"

#include <QtTest>

Q_DECLARE_METATYPE(ChunkKind)

class TestTranscoderOutput : public QObject
{
    Q_OBJECT
private slots:
    void classify_data();
    void classify();
    void scan_data();
    void scan();
    void scan_logs_values_in_order();
    void position_data();
    void position();
};

static const QByteArray kRecord = "zo_progress|frame= 75 fps= 0.0 size= 256kB|time=00:00:03.00 bitrate= 699.1kbits/s\n";

void TestTranscoderOutput::classify_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<ChunkKind>("kind");
    QTest::addColumn<int>("phrase");

    QTest::newRow("progress record") << kRecord << ChunkKind::Progress << -1;
    QTest::newRow("progress and finish in one chunk") << kRecord + "zo_finished\n" << ChunkKind::Progress << -1;
    QTest::newRow("progress record holding a phrase")
        << kRecord + "Could not write header" << ChunkKind::Progress << -1;
    QTest::newRow("progress marker not at start") << "\n" + kRecord << ChunkKind::Other << -1;
    QTest::newRow("progress marker not at start, then finish")
        << "x" + kRecord + "zo_finished" << ChunkKind::Finished << -1;
    QTest::newRow("finish after other text")
        << QByteArray("muxing overhead 0.1%\nzo_finished\n") << ChunkKind::Finished << -1;
    QTest::newRow("phrase beats finish") << QByteArray("zo_finished failed to connect socket") << ChunkKind::ErrorPhrase
                                         << 1;
    QTest::newRow("table order, not text order")
        << QByteArray("failed to read RTMP packet header; failed to connect socket") << ChunkKind::ErrorPhrase << 1;
    QTest::newRow("zero byte hides the rest") << QByteArray("abc\0zo_finished", 15) << ChunkKind::Other << -1;
}

void TestTranscoderOutput::classify()
{
    QFETCH(QByteArray, chunk);
    QFETCH(ChunkKind, kind);
    QFETCH(int, phrase);
    // The live push's phrases, in its order.
    const QList<QByteArray> phrases{"Could not write header", "failed to connect socket",
                                    "failed to read RTMP packet header"};
    const ChunkClass result = classify_chunk(chunk_text(chunk), phrases);
    QCOMPARE(result.kind, kind);
    QCOMPARE(result.phrase, phrase);
}

void TestTranscoderOutput::scan_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<int>("pieces");
    QTest::addColumn<int>("frame");
    QTest::addColumn<float>("fps");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("time");
    QTest::addColumn<float>("bitrate");

    // Unmatched fields keep the values of an earlier record: 7, 7.5, 7, 00:00:07.00, 7.5.
    QTest::newRow("blanks around numbers")
        << QByteArray("zo_progress|frame=  250 fps= 25 size=    1024kB|time=00:00:10.00 bitrate= 838.9kbits/s") << 3
        << 250 << 25.0f << qint64(1024) << QByteArray("00:00:10.00") << 838.9f;
    QTest::newRow("no blanks, extra piece")
        << QByteArray("zo_progress|frame=1fps=0.5size=2kB|time=00:00:00.04 bitrate=3.5kbits/s|speed=1x") << 4 << 1
        << 0.5f << qint64(2) << QByteArray("00:00:00.04") << 3.5f;
    QTest::newRow("two pieces ignored") << QByteArray("zo_progress|frame= 250 fps= 25 size= 1024kB") << 2 << 7 << 7.5f
                                        << qint64(7) << QByteArray("00:00:07.00") << 7.5f;
    QTest::newRow("only the first of two records") << kRecord + QByteArray(kRecord).replace("03.00", "04.00") << 5 << 75
                                                   << 0.0f << qint64(256) << QByteArray("00:00:03.00") << 699.1f;
    QTest::newRow("size beyond 32 bits")
        << QByteArray("zo_progress|frame=1 fps=1 size=5000000000kB|time=00:00:01.00 bitrate=1kbits/s") << 3 << 1 << 1.0f
        << qint64(5000000000) << QByteArray("00:00:01.00") << 1.0f;
    QTest::newRow("tab is not removed") << QByteArray("zo_progress|frame=250\tfps=25 size=1kB|") << 3 << 250 << 7.5f
                                        << qint64(7) << QByteArray("00:00:07.00") << 7.5f;
    QTest::newRow("bitrate N/A") << QByteArray("zo_progress||time=00:00:05.00 bitrate=N/A") << 3 << 7 << 7.5f
                                 << qint64(7) << QByteArray("00:00:05.00") << 7.5f;
    QTest::newRow("over-long time token is cut")
        << QByteArray("zo_progress||time=" + QByteArray(100, 'x') + " bitrate=1kbits/s") << 3 << 7 << 7.5f << qint64(7)
        << QByteArray(63, 'x') << 7.5f;
}

void TestTranscoderOutput::scan()
{
    QFETCH(QByteArray, record);
    ProgressFields fields;
    fields.frame = 7;
    fields.fps = 7.5f;
    fields.size = 7;
    qstrcpy(fields.time, "00:00:07.00");
    fields.bitrate = 7.5f;

    QTEST(scan_progress_record(record, fields), "pieces");
    QTEST(fields.frame, "frame");
    QTEST(fields.fps, "fps");
    QTEST(fields.size, "size");
    // The bitrate right behind the time field would show an overrun.
    QTEST(QByteArray(fields.time, qstrnlen(fields.time, sizeof fields.time)), "time");
    QTEST(fields.bitrate, "bitrate");
}

void TestTranscoderOutput::scan_logs_values_in_order()
{
    ProgressFields fields;
    QTest::ignoreMessage(QtDebugMsg, "250 25 1024 \"00:00:10.00\" 838.9");
    scan_progress_record("zo_progress|frame= 250 fps= 25 size= 1024kB|time=00:00:10.00 bitrate= 838.9kbits/s", fields);
}

void TestTranscoderOutput::position_data()
{
    QTest::addColumn<QByteArray>("time");
    QTest::addColumn<qint64>("seconds"); // -1: no position

    QTest::newRow("ten seconds") << QByteArray("00:00:10.00") << qint64(10);
    QTest::newRow("fraction dropped") << QByteArray("01:02:03.99") << qint64(3723);
    QTest::newRow("minute and seconds") << QByteArray("00:01:05.40") << qint64(65);
    QTest::newRow("24 hours") << QByteArray("24:00:00.00") << qint64(-1);
    QTest::newRow("negative") << QByteArray("-00:00:01.00") << qint64(-1);
    QTest::newRow("empty") << QByteArray() << qint64(-1);
    QTest::newRow("N/A") << QByteArray("N/A") << qint64(-1);
}

void TestTranscoderOutput::position()
{
    QFETCH(QByteArray, time);
    QFETCH(qint64, seconds);
    QCOMPARE(position_seconds(time.constData()).value_or(-1), seconds);
}

QTEST_GUILESS_MAIN(TestTranscoderOutput)
#include "test_transcoderoutput.moc"
