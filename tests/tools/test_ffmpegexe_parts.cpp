#include "commandline.h"
#include "outputwriter.h"
#include "phrasetable.h"
#include "progressrecord.h"

#include <QtTest>

using namespace ffexe;

namespace {

std::vector<std::string> to_std(const QStringList& list)
{
    std::vector<std::string> out;
    for (const QString& item : list)
        out.push_back(item.toStdString());
    return out;
}

QStringList to_qt(const std::vector<std::string>& list)
{
    QStringList out;
    for (const std::string& item : list)
        out << QString::fromStdString(item);
    return out;
}

} // namespace

class TestFfmpegExeParts : public QObject
{
    Q_OBJECT
private slots:
    void invocation_data();
    void invocation();
    void record_data();
    void record();
    void phrases_data();
    void phrases();
    void writer_data();
    void writer();
};

void TestFfmpegExeParts::invocation_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("network");

    const QStringList conversion{"-i", "/v/a.mp4", "-r", "25", "-s", "1280x720", "-b:v", "1600k", "/v/a_zo.mp4"};
    QTest::newRow("conversion") << conversion << conversion << false;
    const QStringList push{"-re", "-i", "/v/a.mp4", "-c", "copy", "-f", "flv", "rtmp://h/live/k"};
    QTest::newRow("push of a local file") << push << push << false;
    QTest::newRow("file url is local") << QStringList{"-i", "file:///v/a.mp4", "/v/b.avi"}
                                       << QStringList{"-i", "file:///v/a.mp4", "/v/b.avi"} << false;
    QTest::newRow("rtmp capture gets a read time-out")
        << QStringList{"-i", "rtmp://h/live/s", "-vcodec", "copy", "/r/a.mp4"}
        << QStringList{"-rw_timeout", "10000000", "-i", "rtmp://h/live/s", "-vcodec", "copy", "/r/a.mp4"} << true;
    QTest::newRow("rtsp capture to avi") << QStringList{"-i", "rtsp://h/s", "-vcodec", "copy", "/r/a.AVI"}
                                         << QStringList{"-timeout",   "10000000",         "-i",
                                                        "rtsp://h/s", "-vcodec",          "copy",
                                                        "-bsf:v",     "h264_mp4toannexb", "/r/a.AVI"}
                                         << true;
    QTest::newRow("own time-out kept") << QStringList{"-rw_timeout", "5", "-i", "rtmp://h/live/s", "o.mp4"}
                                       << QStringList{"-rw_timeout", "5", "-i", "rtmp://h/live/s", "o.mp4"} << true;
    QTest::newRow("time-out goes to the network input only")
        << QStringList{"-rw_timeout", "5", "-i", "/v/a.mp4", "-i", "udp://h:1", "o.mp4"}
        << QStringList{"-rw_timeout", "5", "-i", "/v/a.mp4", "-rw_timeout", "10000000", "-i", "udp://h:1", "o.mp4"}
        << true;
}

void TestFfmpegExeParts::invocation()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, expected);
    QFETCH(bool, network);

    const Invocation inv = build_invocation(to_std(args));
    const QStringList got = to_qt(inv.args);
    QCOMPARE(got.mid(0, 5), (QStringList{"-hide_banner", "-nostats", "-y", "-progress", "pipe:3"}));
    QCOMPARE(got.mid(5), expected);
    QCOMPARE(inv.network_input, network);
}

void TestFfmpegExeParts::record_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("splitAt");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<bool>("lastIsEnd");

    const QByteArray running = "frame=250\nfps=25.00\nstream_0_0_q=28.0\nbitrate= 838.9kbits/s\ntotal_size=1048576\n"
                               "out_time_us=10000000\nout_time_ms=10000000\nout_time=00:00:10.000000\nspeed=1x\n"
                               "progress=continue\n";
    const QString runningRecord =
        "zo_progress|frame= 250 fps= 25.00 size= 1024kB|time=00:00:10.00 bitrate= 838.9kbits/s\n";
    QTest::newRow("running") << running << 0 << QStringList{runningRecord} << false;
    QTest::newRow("split inside a value") << running << 53 << QStringList{runningRecord} << false;
    QTest::newRow("N/A is zero") << QByteArray("frame=0\nfps=0.00\nbitrate=N/A\ntotal_size=N/A\nout_time_us=N/A\n"
                                               "progress=continue\n")
                                 << 0
                                 << QStringList{"zo_progress|frame= 0 fps= 0.00 size= 0kB|time=00:00:00.00 bitrate= "
                                                "0.0kbits/s\n"}
                                 << false;
    QTest::newRow("negative time") << QByteArray("frame=1\nout_time_us=-23220\nprogress=continue\n") << 0
                                   << QStringList{"zo_progress|frame= 1 fps= 0.00 size= 0kB|time=00:00:00.00 bitrate= "
                                                  "0.0kbits/s\n"}
                                   << false;
    QTest::newRow("fraction cut, not rounded")
        << QByteArray("out_time_us=3723999999\ntotal_size=1535\nprogress=continue\n") << 0
        << QStringList{"zo_progress|frame= 0 fps= 0.00 size= 1kB|time=01:02:03.99 bitrate= 0.0kbits/s\n"} << false;
    QTest::newRow("beyond a day") << QByteArray("out_time_us=90000000000\nprogress=end\n") << 0
                                  << QStringList{"zo_progress|frame= 0 fps= 0.00 size= 0kB|time=25:00:00.00 bitrate= "
                                                 "0.0kbits/s\n"}
                                  << true;
    QTest::newRow("two blocks, values not carried over")
        << QByteArray("frame=5\nprogress=continue\nfps=2.5\nprogress=end\n") << 0
        << QStringList{"zo_progress|frame= 5 fps= 0.00 size= 0kB|time=00:00:00.00 bitrate= 0.0kbits/s\n",
                       "zo_progress|frame= 0 fps= 2.50 size= 0kB|time=00:00:00.00 bitrate= 0.0kbits/s\n"}
        << true;
}

void TestFfmpegExeParts::record()
{
    QFETCH(QByteArray, input);
    QFETCH(int, splitAt);
    QFETCH(QStringList, records);
    QFETCH(bool, lastIsEnd);

    ProgressParser parser;
    std::vector<ProgressBlock> blocks = parser.feed(input.constData(), size_t(splitAt));
    const std::vector<ProgressBlock> rest = parser.feed(input.constData() + splitAt, size_t(input.size() - splitAt));
    blocks.insert(blocks.end(), rest.begin(), rest.end());

    QStringList got;
    for (const ProgressBlock& block : blocks)
        got << QString::fromStdString(format_record(block));
    QCOMPARE(got, records);
    QCOMPARE(blocks.back().end, lastIsEnd);
}

void TestFfmpegExeParts::phrases_data()
{
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<int>("splitAt");
    QTest::addColumn<QStringList>("phrases");

    const QString connect = "failed to connect socket";
    const QString rtmp = "failed to read RTMP packet header";
    QTest::newRow("connection refused")
        << QByteArray("[tcp @ 0x55d0c2a0] Connection to tcp://127.0.0.1:1?tcp_nodelay=0 failed: Connection refused\n"
                      "[rtmp @ 0x55d0c2b0] Cannot open connection tcp://127.0.0.1:1?tcp_nodelay=0\n"
                      "rtmp://127.0.0.1:1/live/x: Connection refused\n")
        << 0 << QStringList{connect};
    QTest::newRow("split inside the line")
        << QByteArray("[tcp @ 0x1] Connection to tcp://127.0.0.1:1 failed: Connection refused\n") << 30
        << QStringList{connect};
    QTest::newRow("unknown host, one phrase only")
        << QByteArray("[tcp @ 0x1] Failed to resolve hostname no.where: Name or service not known\n"
                      "[rtmp @ 0x2] Cannot open connection tcp://no.where:1935?tcp_nodelay=0\n"
                      "rtmp://no.where/live/x: Input/output error\n")
        << 0 << QStringList{connect};
    QTest::newRow("unknown application") << QByteArray("rtmp://127.0.0.1:1935/nope/x: Input/output error\n") << 0
                                         << QStringList{rtmp};
    QTest::newRow("already publishing")
        << QByteArray("[rtmp @ 0x5] Server error: Already publishing\nrtmp://h/live/s: Operation not permitted\n") << 0
        << QStringList{rtmp};
    QTest::newRow("not an rtmp server")
        << QByteArray("[rtmp @ 0x5] Cannot read RTMP handshake response\nrtmp://h/live/s: Connection timed out\n") << 0
        << QStringList{rtmp};
    QTest::newRow("last line without a break")
        << QByteArray("rtmps://h/live/x: Input/output error") << 0 << QStringList{rtmp};
    QTest::newRow("successful push") << QByteArray(
                                            "[flv @ 0x5] Failed to update header with correct duration/filesize\n")
                                     << 0 << QStringList{};
    QTest::newRow("local file named like the protocol")
        << QByteArray("rtmp.mp4: Input/output error\n[file @ 0x3] Connection to tcp:// failed\n") << 0 << QStringList{};
}

void TestFfmpegExeParts::phrases()
{
    QFETCH(QByteArray, log);
    QFETCH(int, splitAt);
    QFETCH(QStringList, phrases);

    PhraseFinder finder;
    std::vector<std::string> got = finder.feed(log.constData(), size_t(splitAt));
    for (const auto& more : {finder.feed(log.constData() + splitAt, size_t(log.size() - splitAt)), finder.finish()})
        got.insert(got.end(), more.begin(), more.end());
    QCOMPARE(to_qt(got), phrases);
}

void TestFfmpegExeParts::writer_data()
{
    // Steps "P label ms" / "T label ms" add a progress record / text and
    // flush at that time; "F ms" only flushes. Writes read "label@ms".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("writes");

    QTest::newRow("text right after a record waits for the gap")
        << QStringList{"P a 0", "T x 50", "F 199", "F 200"} << QStringList{"a@0", "x@200"};
    QTest::newRow("text long after a record goes at once")
        << QStringList{"P a 0", "T x 300"} << QStringList{"a@0", "x@300"};
    QTest::newRow("records are never held back")
        << QStringList{"T x 0", "P a 10", "P b 600"} << QStringList{"x@0", "a@10", "b@600"};
    QTest::newRow("waiting texts go out together, before later records")
        << QStringList{"P a 0", "T x 50", "T y 60", "P b 100", "P c 150", "F 200"}
        << QStringList{"a@0", "xy@200", "c@200"};
}

void TestFfmpegExeParts::writer()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, writes);

    const OutputWriter::Clock::time_point zero;
    int now = 0;
    QStringList got;
    OutputWriter out([&](const std::string& bytes) { got << QStringLiteral("%1@%2").arg(bytes.c_str()).arg(now); });
    for (const QString& step : steps) {
        const QStringList part = step.split(' ');
        now = part.last().toInt();
        if (part[0] == "P")
            out.add_progress(part[1].toStdString());
        else if (part[0] == "T")
            out.add_text(part[1].toStdString());
        out.flush(zero + std::chrono::milliseconds(now));
    }
    QCOMPARE(got, writes);
}

QTEST_GUILESS_MAIN(TestFfmpegExeParts)
#include "test_ffmpegexe_parts.moc"
