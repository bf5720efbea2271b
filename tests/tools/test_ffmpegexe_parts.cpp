#include "phrasetable.h"
#include "progressrecord.h"

#include <QtTest>

using namespace ffexe;

class TestFfmpegExeParts : public QObject
{
    Q_OBJECT
private slots:
    void scan_data();
    void scan();
};

void TestFfmpegExeParts::scan_data()
{
    // Text of ffmpeg's progress pipe or log, read in two pieces split at splitAt and given to both scanners; expected:
    // the records ("|end" after an end block), then the phrases the plug-in looks for. The log rows hold lines the
    // real runs do not meet.
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("splitAt");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("N/A and negative time are zero")
        << QByteArray("frame=1\nfps=N/A\nbitrate=N/A\ntotal_size=N/A\nout_time_us=-23220\nprogress=continue\n") << 0
        << QByteArray("zo_progress|frame= 1 fps= 0.00 size= 0kB|time=00:00:00.00 bitrate= 0.0kbits/s\n");
    QTest::newRow("time cut, size rounded, split inside a value")
        << QByteArray("bitrate= 838.94kbits/s\nout_time_us=3723999999\ntotal_size=1535\nprogress=continue\n") << 40
        << QByteArray("zo_progress|frame= 0 fps= 0.00 size= 1kB|time=01:02:03.99 bitrate= 838.9kbits/s\n");
    QTest::newRow("beyond a day, values not carried over")
        << QByteArray("out_time_us=90000000000\nframe=5\nprogress=continue\nfps=2.5\ntotal_size=1536\nprogress=end\n")
        << 0
        << QByteArray("zo_progress|frame= 5 fps= 0.00 size= 0kB|time=25:00:00.00 bitrate= 0.0kbits/s\n"
                      "zo_progress|frame= 0 fps= 2.50 size= 2kB|time=00:00:00.00 bitrate= 0.0kbits/s\n|end");

    const QByteArray connect = "failed to connect socket", rtmp = "failed to read RTMP packet header";
    QTest::newRow("unknown host split inside the line, one phrase only")
        << QByteArray("[tcp @ 0x1] Failed to resolve hostname no.where: Name or service not known\n"
                      "[rtmp @ 0x2] Cannot open connection tcp://no.where:1935?tcp_nodelay=0\n"
                      "rtmp://no.where/live/x: Input/output error\n")
        << 30 << connect;
    QTest::newRow("not an rtmp server")
        << QByteArray("[rtmp @ 0x5] Cannot read RTMP handshake response\nrtmp://h/live/s: Connection timed out\n") << 0
        << rtmp;
    QTest::newRow("last line without a break") << QByteArray("rtmps://h/live/x: Input/output error") << 0 << rtmp;
    QTest::newRow("successful push, local file named like the protocol")
        << QByteArray("[flv @ 0x5] Failed to update header with correct duration\nrtmp.mp4: Input/output error\n"
                      "[file @ 0x3] Connection to tcp:// failed\n")
        << 0 << QByteArray();
}

void TestFfmpegExeParts::scan()
{
    QFETCH(QByteArray, input);
    QFETCH(int, splitAt);
    QFETCH(QByteArray, expected);

    ProgressParser parser;
    PhraseFinder finder;
    QByteArray records, phrases;
    for (const auto& [data, size] :
         {std::pair<const char*, size_t>(input.constData(), size_t(splitAt)),
          std::pair<const char*, size_t>(input.constData() + splitAt, size_t(input.size() - splitAt))}) {
        for (const ProgressBlock& block : parser.feed(data, size))
            records += QByteArray::fromStdString(format_record(block)) + (block.end ? "|end" : "");
        for (const std::string& phrase : finder.feed(data, size))
            phrases += QByteArray::fromStdString(phrase);
    }
    for (const std::string& phrase : finder.finish())
        phrases += QByteArray::fromStdString(phrase);
    QCOMPARE(records + phrases, expected);
}

QTEST_GUILESS_MAIN(TestFfmpegExeParts)
#include "test_ffmpegexe_parts.moc"
