// FFmpeg.exe's pure parts: the output writer's gaps, the stop sequence's
// steps and the command line it builds, all on an injected clock.

#include "commandline.h"
#include "outputwriter.h"
#include "stopsequence.h"

#include <QtTest>

using namespace std::chrono;
using namespace ffexe;

namespace {

using Time = steady_clock::time_point;

Time at(int ms)
{
    return Time(milliseconds(ms));
}

} // namespace

class TestFfmpegParts : public QObject
{
    Q_OBJECT
private slots:
    void writer_gaps_data();
    void writer_gaps();
    void drain_waits_on_the_clock();
    void stop_sequence_data();
    void stop_sequence();
    void invocation_data();
    void invocation();
};

void TestFfmpegParts::writer_gaps_data()
{
    // steps: "T:p:X" adds record X at T ms, "T:t:X" adds text X, then each step flushes at T.
    // written: what went out, as "T:X".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("written");
    QTest::newRow("text waits after a record") << QStringList{"0:p:R1", "50:t:log"} << QStringList{"0:R1", "200:log"};
    QTest::newRow("a record waits after text (the banner)")
        << QStringList{"0:t:banner", "10:p:R1"} << QStringList{"0:banner", "200:R1"};
    QTest::newRow("a newer record replaces a waiting one")
        << QStringList{"0:t:banner", "10:p:R1", "20:p:R2"} << QStringList{"0:banner", "200:R2"};
    QTest::newRow("texts in a row go out in one write")
        << QStringList{"0:p:R1", "10:t:a", "20:t:b"} << QStringList{"0:R1", "200:ab"};
    QTest::newRow("records in a row need no gap") << QStringList{"0:p:R1", "500:p:R2"} << QStringList{"0:R1", "500:R2"};
    QTest::newRow("order is kept") << QStringList{"0:t:a", "10:p:R1", "20:t:b"}
                                   << QStringList{"0:a", "200:R1", "400:b"};
}

void TestFfmpegParts::writer_gaps()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, written);

    int clock = 0;
    QStringList out;
    OutputWriter writer([&](const std::string& bytes) { out << QString("%1:%2").arg(clock).arg(bytes.c_str()); },
                        milliseconds(200));
    auto flush_until_idle = [&](int until) {
        // Flushes at each due time up to `until`, as the transcoder's loop does.
        for (auto due = writer.flush(at(clock)); due && *due <= at(until); due = writer.flush(at(clock)))
            clock = int(duration_cast<milliseconds>(due->time_since_epoch()).count());
    };
    for (const QString& step : steps) {
        const QStringList parts = step.split(':');
        flush_until_idle(parts[0].toInt());
        clock = parts[0].toInt();
        if (parts[1] == "p")
            writer.add_progress(parts[2].toStdString());
        else
            writer.add_text(parts[2].toStdString());
        writer.flush(at(clock));
    }
    flush_until_idle(100000);
    QCOMPARE(out, written);
}

void TestFfmpegParts::drain_waits_on_the_clock()
{
    Time now = at(0);
    QList<int> slept;
    WriterTime time;
    time.now = [&] { return now; };
    time.sleep_until = [&](Time t) {
        slept << int(duration_cast<milliseconds>(t - now).count());
        now = t;
    };
    std::string out;
    OutputWriter writer([&](const std::string& bytes) { out += bytes; }, milliseconds(200), time);
    writer.add_progress("R");
    writer.flush(now);
    writer.add_text("zo_finished\n");
    writer.drain();
    QCOMPARE(out, std::string("Rzo_finished\n"));
    QCOMPARE(slept, QList<int>{200});
}

void TestFfmpegParts::stop_sequence_data()
{
    // Each probe: the time in ms and the action expected then (Q quit, I interrupt, K kill, - none).
    QTest::addColumn<QStringList>("probes");
    QTest::newRow("each step waits for an answer")
        << QStringList{"0:Q", "299:-", "300:I", "599:-", "600:I", "3599:-", "3600:K", "99999:-"};
    QTest::newRow("a late look takes one step at a time") << QStringList{"0:Q", "10000:I", "10000:-", "10300:I"};
}

void TestFfmpegParts::stop_sequence()
{
    QFETCH(QStringList, probes);
    StopSequence stop;
    QVERIFY(!stop.started() && !stop.deadline());
    for (const QString& probe : probes) {
        const int ms = probe.section(':', 0, 0).toInt();
        const StopSequence::Action action = stop.started() ? stop.due(at(ms)) : stop.begin(at(ms));
        const char got = "-QIK"[int(action)];
        QCOMPARE(QString(got), probe.section(':', 1));
    }
    QCOMPARE(stop.begin(at(0)), StopSequence::Action::None); // begins once
}

void TestFfmpegParts::invocation_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("expected"); // after the fixed head
    QTest::addColumn<bool>("network");
    QTest::newRow("local file") << QStringList{"-i", "a.mp4", "b.avi"} << QStringList{"-i", "a.mp4", "b.avi"} << false;
    QTest::newRow("rtmp gets the generic time-out")
        << QStringList{"-i", "rtmp://h/live/x", "-vcodec", "copy", "o.mp4"}
        << QStringList{"-rw_timeout", "7000", "-i", "rtmp://h/live/x", "-vcodec", "copy", "o.mp4"} << true;
    QTest::newRow("rtsp gets its own") << QStringList{"-i", "RTSP://h/x", "o.mp4"}
                                       << QStringList{"-timeout", "7000", "-i", "RTSP://h/x", "o.mp4"} << true;
    QTest::newRow("a given time-out is kept") << QStringList{"-rw_timeout", "5", "-i", "rtmp://h/x", "o.mp4"}
                                              << QStringList{"-rw_timeout", "5", "-i", "rtmp://h/x", "o.mp4"} << true;
    QTest::newRow("copied stream into avi gets start codes")
        << QStringList{"-i", "rtmp://h/x", "-vcodec", "copy", "o.AVI"}
        << QStringList{"-rw_timeout",      "7000", "-i", "rtmp://h/x", "-vcodec", "copy", "-bsf:v",
                       "h264_mp4toannexb", "o.AVI"}
        << true;
}

void TestFfmpegParts::invocation()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, expected);
    QFETCH(bool, network);
    std::vector<std::string> user;
    for (const QString& arg : args)
        user.push_back(arg.toStdString());
    const Invocation inv = build_invocation(user, 7000);
    QStringList got;
    for (size_t i = 5; i < inv.args.size(); ++i) // after -hide_banner -nostats -y -progress pipe:3
        got << QString::fromStdString(inv.args[i]);
    QCOMPARE(got, expected);
    QCOMPARE(inv.network_input, network);
    // The time-out comes from the environment in milliseconds; nonsense keeps the default.
    QCOMPARE(read_timeout_us("1500"), 1500000LL);
    for (const char* bad : {"", "0", "-5", "2s"})
        QCOMPARE(read_timeout_us(bad), k_read_timeout_us);
}

QTEST_GUILESS_MAIN(TestFfmpegParts)
#include "test_ffmpegparts.moc"
