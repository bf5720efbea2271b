// FFmpeg.exe's pure parts: the output writer's gaps, the stop sequence's
// steps and the command line it builds, all on an injected clock.

#include "childlog.h"
#include "commandline.h"
#include "entryclock.h"
#include "fanout.h"
#include "filesource.h"
#include "flvtags.h"
#include "outputwriter.h"
#include "playlistend.h"
#include "rtmppublisher.h"
#include "rtmpserver.h"
#include "stopsequence.h"
#include "tagretimer.h"
#include "testmedia.h"
#include "tsfeed.h"
#include "wallclock.h"

#include <QTcpServer>
#include <QtTest>

#include <atomic>
#include <map>
#include <thread>

using namespace std::chrono;
using namespace ffexe;

namespace {

using Time = steady_clock::time_point;

Time at(int ms)
{
    return Time(milliseconds(ms));
}

// One FLV tag: type, time (ms), its data, and the size of the tag after it.
std::string flv_tag(int type, long long ms, const std::string& data)
{
    std::string tag(11, '\0');
    tag[0] = char(type);
    tag[1] = char((data.size() >> 16) & 0xff);
    tag[2] = char((data.size() >> 8) & 0xff);
    tag[3] = char(data.size() & 0xff);
    tag[4] = char((ms >> 16) & 0xff);
    tag[5] = char((ms >> 8) & 0xff);
    tag[6] = char(ms & 0xff);
    tag[7] = char((ms >> 24) & 0xff);
    tag += data;
    const size_t whole = tag.size();
    tag += {char(whole >> 24), char((whole >> 16) & 0xff), char((whole >> 8) & 0xff), char(whole & 0xff)};
    return tag;
}

// An entry as a reader writes it: H.264 pictures 40 ms apart from `first`, shown `delay` ms after they are decoded, and
// AAC frames 23 ms apart from `sound` until `until` (`silence`: ours), its metadata and each stream's header first, all
// in time order.
std::string flv_entry(int pictures, int first, int delay, int sound, int until, bool silence)
{
    std::multimap<long long, std::string> tags;
    tags.emplace(-2, flv_tag(18, 0, "meta"));
    const std::string composition{char((delay >> 16) & 0xff), char((delay >> 8) & 0xff), char(delay & 0xff)};
    tags.emplace(-1, flv_tag(9, 0, std::string("\x17\x00\x00\x00\x00", 5)));
    tags.emplace(-1, flv_tag(8, 0, std::string("\xaf\x00\x12", 3)));
    for (int i = 0; i < pictures; ++i)
        tags.emplace(first + 40 * i,
                     flv_tag(9, first + 40 * i, std::string(i ? "\x27\x01" : "\x17\x01") + composition + "p"));
    for (int at = sound; at < until; at += 23)
        tags.emplace(at, flv_tag(8, at, silence ? "\xaf\x01z" : "\xaf\x01s"));
    std::string bytes;
    for (const auto& [at, tag] : tags)
        bytes += tag;
    return bytes;
}

struct FlvTime
{
    int entry;
    char kind; // 'v' picture, 'a' sound, 'z' silence of ours, 'h' a header, 's' script data
    long long decoded, shown;
};

// The tags of a stream, split back.
QList<FlvTime> flv_times(const std::string& bytes, const QList<size_t>& entry_ends)
{
    QList<FlvTime> times;
    const auto b = [&](size_t i) { return static_cast<long long>(static_cast<unsigned char>(bytes[i])); };
    for (size_t at = 0; at + 11 <= bytes.size();) {
        const long long size = (b(at + 1) << 16) | (b(at + 2) << 8) | b(at + 3);
        const long long ms = (b(at + 7) << 24) | (b(at + 4) << 16) | (b(at + 5) << 8) | b(at + 6);
        const bool header = b(at + 12) == 0;
        const char kind = b(at) == 18 ? 's' : header ? 'h' : (b(at) == 9 ? 'v' : b(at + 13) == 'z' ? 'z' : 'a');
        long long shown = ms;
        if (kind == 'v') {
            long long c = (b(at + 13) << 16) | (b(at + 14) << 8) | b(at + 15);
            shown += (c & 0x800000) ? c - 0x1000000 : c;
        }
        const int entry = int(std::upper_bound(entry_ends.begin(), entry_ends.end(), at) - entry_ends.begin());
        times.append({entry, kind, ms, shown});
        at += 11 + size + 4;
    }
    return times;
}

// A transport stream packet that says what it is in its last byte. 'T': the
// tables (PAT and PMT, the latter listing a picture at 256 and, with `sound`,
// sound at 257 of `sound_type`); for the rest the label: 'K' a key picture
// begins, 'L' one with another sequence parameter set, 'R' one only marked
// random access, 'P' another picture begins, 'p' more of a picture, 'e' its
// last packet, padded, 'A' sound begins (two packets long), 'a' more of it.
std::string ts_packet(char label)
{
    std::string p(TsFeed::k_packet, '\xff');
    const auto put = [&p](size_t at, std::initializer_list<int> bytes) {
        for (int b : bytes)
            p[at++] = char(b);
    };
    const bool starts = label == 'K' || label == 'L' || label == 'R' || label == 'P' || label == 'A';
    const int pid = label == 'A' || label == 'a' ? 257 : 256;
    put(0, {0x47, (starts ? 0x40 : 0) | (pid >> 8), pid & 0xff, 0x10});
    if (label == 'R')
        put(3, {0x30, 1, 0x40}); // an adaptation field that says random access
    if (label == 'e')
        put(3, {0x30, 20, 0}); // one that pads
    const size_t at = label == 'R' ? 6 : 4;
    if (label == 'P' || label == 'R') // a picture's PES head, then a NAL unit
        put(at, {0, 0, 1, 0xe0, 0, 0, 0x80, 0x80, 5, 0, 0, 0, 0, 0, 0, 0, 1, 0x41});
    if (label == 'K' || label == 'L') // a key picture's: its sequence parameter set first
        put(at, {0,    0, 1, 0xe0, 0, 0,   0x80, 0x80, 5, 0, 0, 0, 0, 0, 0, 0, 1, 0x67, label == 'K' ? 0x42 : 0x4d,
                 0x1e, 0, 0, 0,    1, 0x65});
    if (label == 'A') // a sound PES head whose length takes this packet and the next
        put(at, {0, 0, 1, 0xc0, (2 * 184 - 6) >> 8, (2 * 184 - 6) & 0xff, 0x80, 0x80, 5});
    p.back() = label;
    return p;
}

// The tables: a PAT naming the PMT at 4096, and the PMT.
std::string ts_tables(bool sound, int sound_type)
{
    std::string pat(TsFeed::k_packet, '\xff'), pmt(TsFeed::k_packet, '\xff');
    const char pat_head[] = {0x47, 0x40, 0, 0x10, 0, 0, char(0xb0), 13, 0, 1, char(0xc1), 0, 0, 0, 1, char(0xf0), 0};
    std::copy(std::begin(pat_head), std::end(pat_head), pat.begin());
    std::string streams = {0x1b, char(0xe1), 0, char(0xf0), 0};
    if (sound && sound_type == 0x06)
        streams += std::string{0x06, char(0xe1), 1, char(0xf0), 6, 0x05, 4, 'O', 'p', 'u', 's'};
    else if (sound)
        streams += std::string{char(sound_type), char(0xe1), 1, char(0xf0), 0};
    const int length = int(9 + streams.size() + 4);
    std::string head = {0x47,       0x50, 0, 0x10,       0, 2,          char(0xb0), char(length), 0, 1,
                        char(0xc1), 0,    0, char(0xe1), 0, char(0xf0), 0};
    (head + streams).copy(pmt.data(), head.size() + streams.size());
    pat.back() = pmt.back() = 'T';
    return pat + pmt;
}
} // namespace

class TestFfmpegParts : public QObject
{
    Q_OBJECT
private slots:
    // A transport stream is handed on from its first key picture, once every
    // sound stream has had a whole packet since (or two seconds have gone), each
    // picture once whole; the tables go first. Steps: labels fed (ts_packet),
    // '+' a second passes, '.' the source ends; then what went out.
    void ts_feed_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<bool>("sound");
        QTest::addColumn<int>("sound_type");
        QTest::addColumn<QString>("out"); // '|': the next file begins
        QTest::newRow("key picture, then its sound") << "TPpKpApaPpKp" << true << 0x0f << "TTKpApaPp";
        QTest::newRow("sound begun before the table lists it is not waited for")
            << "TAaKpPp" << false << 0x0f << "TTKp";
        QTest::newRow("key told by its random access mark") << "TPpRpAaPp" << true << 0x0f << "TTRpAa";
        QTest::newRow("Opus registered as private data is sound") << "TKpPpAaPp" << true << 0x06 << "TTKpPpAa";
        QTest::newRow("AC-3 waited for") << "TKpPpPp" << true << 0x81 << "";
        QTest::newRow("sound that never comes: two seconds") << "TKpPp+Pp+Pp" << true << 0x0f << "TTKpPpPp";
        QTest::newRow("no key picture in ten seconds: from there")
            << "TPp" + QString(10, '+') + "PpPp" << true << 0x0f << "TTPp";
        QTest::newRow("the end cuts a picture off") << "TKpApaPp." << true << 0x0f << "TTKpApa";
        QTest::newRow("a padded packet ends a picture: handed on at once") << "TKpPe" << false << 0x0f << "TTKpPe";
        QTest::newRow("an end keeps it, not the picture begun after") << "TKpPeP." << false << 0x0f << "TTKpPe";
        QTest::newRow("an end while the sound is awaited: the whole pictures and what came of the sound")
            << "TKpPpAp." << true << 0x0f << "TTKpA";
        QTest::newRow("nothing before a key picture") << "TPpPp." << true << 0x0f << "";
        QTest::newRow("another set of parameters begins the next file")
            << "TKpPpLpPp" << false << 0x0f << "TTKpPp|TTLp";
        QTest::newRow("the same set again does not") << "TKpPpKpPp" << false << 0x0f << "TTKpPpKp";
        QTest::newRow("FLV takes the new set") << "TKpPpLpPp" << false << 0 << "TTKpPpLp";
    }
    void ts_feed()
    {
        QFETCH(QString, steps);
        QFETCH(bool, sound);
        QFETCH(int, sound_type);
        QFETCH(QString, out);
        // Sound type 0: a file that takes any set (FLV).
        TsFeed feed(sound_type != 0);
        QString labels;
        feed.on_bytes = [&labels](const std::string& bytes) {
            for (size_t at = 0; at + TsFeed::k_packet <= bytes.size(); at += TsFeed::k_packet)
                labels += QChar(bytes[at + TsFeed::k_packet - 1]);
        };
        feed.on_next_file = [&labels] { labels += '|'; };
        Feed::Clock::time_point now{};
        for (const QChar step : steps) {
            if (step == '+') {
                now += seconds(1);
                feed.tick(now);
            } else if (step == '.') {
                feed.end();
            } else {
                const std::string packet = step == 'T' ? ts_tables(sound, sound_type) : ts_packet(step.toLatin1());
                feed.feed(packet.data(), packet.size(), now);
            }
        }
        QCOMPARE(labels, out);
    }
    void writer_gaps_data()
    {
        // Steps "T:p:X" add record X at T ms, "T:t:X" add text X, each flushed at T; then what went out, as "T:X".
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("first_wait"); // ms text waits for the first record (a recording's), 0: none
        QTest::newRow("text waits after a record") << "0:p:R1 50:t:log => 0:R1 200:log" << 0;
        QTest::newRow("a record waits after text (the banner)") << "0:t:banner 10:p:R1 => 0:banner 200:R1" << 0;
        QTest::newRow("a newer record replaces a waiting one") << "0:t:banner 10:p:R1 20:p:R2 => 0:banner 200:R2" << 0;
        QTest::newRow("texts in a row go out in one write") << "0:p:R1 10:t:a 20:t:b => 0:R1 200:ab" << 0;
        QTest::newRow("records in a row need no gap") << "0:p:R1 500:p:R2 => 0:R1 500:R2" << 0;
        QTest::newRow("order is kept") << "0:t:a 10:p:R1 20:t:b => 0:a 200:R1 400:b" << 0;
        QTest::newRow("a recording's first record goes ahead of the listing")
            << "0:t:banner 30:t:listing 40:p:R1 => 40:R1 240:bannerlisting" << 300;
        QTest::newRow("text waits for a first record no longer than that") << "0:t:error => 300:error" << 300;
        QTest::newRow("after the first record, order is kept") << "0:p:R1 10:t:a 20:p:R2 => 0:R1 200:a 400:R2" << 300;
    }
    void writer_gaps()
    {
        QFETCH(QString, steps);
        QFETCH(int, first_wait);
        Time now = at(0);
        WriterTime time;
        time.now = [&] { return now; };
        time.sleep_until = [&](Time t) { now = t; };
        QStringList out;
        const auto sink = [&](const std::string& bytes) {
            out << QString("%1:%2").arg(duration_cast<milliseconds>(now.time_since_epoch()).count()).arg(bytes.c_str());
        };
        OutputWriter writer(sink, milliseconds(200), time);
        writer.put_first_record_first(milliseconds(first_wait));
        for (const QString& step : steps.section(" => ", 0, 0).split(' ')) {
            const QStringList parts = step.split(':');
            // Flushes at each due time up to the step, as the transcoder's loop does.
            for (auto due = writer.flush(now); due && *due <= at(parts[0].toInt()); due = writer.flush(now))
                now = *due;
            now = at(parts[0].toInt());
            if (parts[1] == "p")
                writer.add_progress(parts[2].toStdString());
            else
                writer.add_text(parts[2].toStdString());
            writer.flush(now);
        }
        // At the end (the finish marker) the writer waits out the gaps on its clock.
        writer.drain();
        QCOMPARE(out.join(' '), steps.section(" => ", 1));
    }

    void stop_sequence_data()
    {
        // Each probe: the time in ms and the action expected then (Q quit, I interrupt, K kill, - none).
        QTest::addColumn<QStringList>("probes");
        QTest::newRow("each step waits for an answer")
            << QStringList{"0:Q", "299:-", "300:I", "599:-", "600:I", "3599:-", "3600:K", "99999:-"};
        QTest::newRow("a late look takes one step at a time") << QStringList{"0:Q", "10000:I", "10000:-", "10300:I"};
    }

    void stop_sequence()
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

    void invocation_data()
    {
        QTest::addColumn<QString>("args"); // "capture SOURCE OUTPUT SEGMENT NUMBER": as the window writes one
        // Parts of "feeder | writer" (after the fixed head): "=" all of it, "!" not in it.
        QTest::addColumn<QStringList>("has");
        QTest::addColumn<QString>("finish"); // the MP4 to make ordinary at the end
        // A recording reports often, and logs at debug level to hear of jumps in its source's time, and evens them out.
        const QString timeline = "-stats_period 0.1 -loglevel level+debug -dts_delta_threshold 0.5 ";
        QTest::newRow("local file") << "-i a.mp4 b.mp4" << QStringList{"=-i a.mp4 b.mp4"} << QString();
        QTest::newRow("rtsp gets its own time-out, and its mp4 comes in fragments")
            << "-i RTSP://h/x o.MP4"
            << QStringList{timeline + "-timeout 7000 -analyzeduration 1 -fpsprobesize 0 -i RTSP://h/x ", "+empty_moov",
                           "-flush_packets 1 o.MP4", "!|"}
            << "o.MP4";
        QTest::newRow("given options are kept")
            << "-rw_timeout 5 -analyzeduration 9 -f flv -i rtmp://h/x -movflags faststart o.mp4"
            << QStringList{"-rw_timeout 5 -analyzeduration 9 -f flv -tcp_nodelay 1 -i", "!7000"} << QString();
        QTest::newRow(
            "rtmp and http .flv are read as live flv, unbuffered; a playlist's stall is bounded; srt as it is")
            << "-i http://h/a.flv?k=1 -i rtmps://h/x -i https://h/a.M3U8?t=1 -i srt://h:1 o.avi"
            << QStringList{"-rw_timeout 7000 -analyzeduration 1 -fpsprobesize 0 -f live_flv -tcp_nodelay 1 -i "
                           "http://h/a.flv?k=1 ",
                           "-f live_flv -tcp_nodelay 1 -i rtmps://h/x ",
                           "-m3u8_hold_counters 10 -i https://h/a.M3U8?t=1 ",
                           "-rw_timeout 7000 -analyzeduration 300000 -fpsprobesize 0 -i srt://h:1 -flush_packets 1 "
                           "o.avi"}
            << QString();
        QTest::newRow("a push logs as ever") << "-re -i a.mp4 -c copy -f flv rtmp://h/x"
                                             << QStringList{"=-re -i a.mp4 -c copy -f flv rtmp://h/x"} << QString();
        // From rtmp: a feeder, which passes on the source's bytes unread, and a writer, which takes FFmpeg.exe's FLV
        // as it comes.
        QTest::newRow("a capture cut into files, each in fragments; a % in the name stays one")
            << "capture rtmp://h/x /r/a%.mp4 60 1"
            << QStringList{"-loglevel warning -f data -rw_timeout 7000 ",
                           "-i rtmp://h/x -map 0 -c copy -f data ",
                           " | -stats_period 0.1 -nostdin -f flv -analyzeduration 1 -fpsprobesize 0 -i pipe:0 ",
                           "-segment_time 60 -reset_timestamps 1 -segment_start_number 1 ",
                           "movflags=+empty_moov",
                           " /r/a%%_%d.mp4"}
            << QString();
        // The number is applied here only: a name that ends like one keeps it.
        QTest::newRow("a later file of a cut recording counts on from its number")
            << "capture rtsp://h/x /r/a_3.avi 60 3"
            << QStringList{"-bsf:v h264_mp4toannexb ", "-segment_start_number 3 /r/a_3_%d.avi"} << QString();
        QTest::newRow("a later file of a recording, after a drop")
            << "capture rtmp://h/x /r/a.mp4 0 2" << QStringList{" | ", " /r/a_2.mp4"} << "/r/a_2.mp4";
        QTest::newRow("a capture to flv")
            << "capture rtmp://h/x /r/a.flv 0 1" << QStringList{" | ", " /r/a.flv"} << QString();
        QTest::newRow("no cutting without a stream to record")
            << "capture a.mp4 b.mp4 60 1" << QStringList{"=-i a.mp4 -vcodec copy b.mp4"} << QString();
    }
    void invocation()
    {
        QFETCH(QString, args);
        QFETCH(QStringList, has);
        QFETCH(QString, finish);
        const auto joined = [](const std::vector<std::string>& list, size_t from) {
            QStringList words;
            for (size_t i = from; i < list.size(); ++i)
                words << QString::fromStdString(list[i]);
            return words.join(' ');
        };
        const QStringList words = args.split(' ');
        std::vector<std::string> user;
        for (const QString& arg : words)
            user.push_back(arg.toStdString());
        if (words[0] == "capture")
            user = protocol::write_capture({user[1], user[2], words[3].toLongLong(), words[4].toInt()});
        const Invocation inv = build_invocation(user, 7000);
        const bool fed = !inv.feeder_args.empty();
        // After -hide_banner -nostats -y -progress pipe:3.
        const QString writer = joined(inv.args, 5), got = fed ? joined(inv.feeder_args, 0) + " | " + writer : writer;
        for (const QString& part : has)
            QVERIFY2(part[0] == '=' ? got == part.mid(1) : got.contains(part.mid(part[0] == '!')) != (part[0] == '!'),
                     qPrintable(part + " in " + got));
        QCOMPARE(inv.network_input, args.contains(QRegularExpression("(-i|capture) \\w+://")));
        QCOMPARE(QString::fromStdString(inv.finish_mp4), finish);
        // A stream that shows no video in time is analysed again for longer, with everything else as it was; a
        // relay waits for the first picture itself.
        if (!fed && writer.contains("-analyzeduration 1 "))
            QCOMPARE(joined(inv.retry_args, 5), QString(writer).replace(QRegularExpression("-analyzeduration \\d+ "),
                                                                        "-analyzeduration 10000000 "));
        QVERIFY(!fed || inv.retry_args.empty());
        // Only FLV takes a second set of picture parameters into the same file.
        QCOMPARE(inv.one_set, !words.last().endsWith(".flv") && !words.value(2).endsWith(".flv"));
        // The time-out comes from the environment in milliseconds; nonsense keeps the default.
        QCOMPARE(read_timeout_us("1500"), 1500000LL);
        for (const char* bad : {"", "0", "-5", "2s"})
            QCOMPARE(read_timeout_us(bad), k_read_timeout_us);
    }

    // A recording's log at debug level, as the plug-in gets it: ffmpeg's usual lines without their level tags, one line
    // of ours per jump of the source's time (ffmpeg names it per stream), and the phrase after the first failure's
    // line.
    void log_filter_data()
    {
        QTest::addColumn<QStringList>("chunks"); // "ms|text": the text read when the clock said ms
        QTest::addColumn<QString>("out");
        const QString jump = "[debug] timestamp discontinuity for stream #0:%1 (id=0, type=video): %2, new offset= 7\n";
        const QString said = "FFmpeg.exe: the stream's time jumped %1 by %2 s (its source restarted?); the recording "
                             "goes on without a break\n";
        QTest::newRow("levels go, quiet lines too, prefixes stay")
            << QStringList{"0|[info] Input #0, live_flv\n[tcp @ 0x5] [verbose] Starting connection\n[tcp @ 0x5] "
                           "[error] Connection to tcp://h:1 failed\n[debug] cur_dts is invalid\n"}
            << "Input #0, live_flv\n[tcp @ 0x5] Connection to tcp://h:1 failed\nfailed to connect socket\n";
        QTest::newRow("a line in pieces") << QStringList{"0|[info] Could not wr", "0|ite header\r[warn", "0|ing] x\n"}
                                          << "Could not write header\rx\n";
        QTest::newRow("one jump back, seen by both streams")
            << QStringList{"0|" + jump.arg(1).arg(-4400000), "300|" + jump.arg(0).arg(-4380000)}
            << said.arg("back", "4.40");
        QTest::newRow("two jumps, seconds apart; one forward")
            << QStringList{"0|" + jump.arg(1).arg(-4400000), "5000|" + jump.arg(1).arg(2500000)}
            << said.arg("back", "4.40") + said.arg("forward", "2.50");
        QTest::newRow("a last line without a break")
            << QStringList{"0|[error] rtmp://h/x: Input/output error"}
            << "rtmp://h/x: Input/output error\nfailed to read RTMP packet header\n";
    }
    void log_filter()
    {
        QFETCH(QStringList, chunks);
        QFETCH(QString, out);
        ChildLog log(nullptr, ChildLog::Mode::Filtered);
        const auto start = ChildLog::Clock::now();
        std::string got;
        for (const QString& chunk : chunks) {
            const auto at = start + std::chrono::milliseconds(chunk.section('|', 0, 0).toInt());
            const std::string text = chunk.section('|', 1).toStdString();
            got += log.feed(text.data(), text.size(), at);
        }
        got += log.finish(start);
        QCOMPARE(QString::fromStdString(got), out);
        QCOMPARE(log.jumps(), int(out.count("FFmpeg.exe: ")));
    }

    // A list pushed over one connection: where each entry begins in the publisher's time (the lengths before it added
    // up), which one is on, and the progress counted from its own start.
    void entry_clock_data()
    {
        // rN: the next entry was read, N ms long; x: it was left out; @T: publisher time => per @T: the entry now
        // on ("-" none new) / the time within the entry on
        QTest::addColumn<QString>("steps");
        QTest::newRow("three entries, the second left out")
            << "r3000 x r2000 @0 @2960 @3000 @4000 @4999 @5000 @5400 => 0/0 -/2960 2/0 -/1000 -/1999 3/0 -/400";
        QTest::newRow("the publisher gets to an entry whose length is not known yet")
            << "r3000 @100 @3500 r1000 @4100 => 0/100 1/500 2/100";
        QTest::newRow("a slow publisher passes two entries at once") << "r1000 r1000 @0 @2500 => 0/0 2/500";
    }
    void entry_clock()
    {
        QFETCH(QString, steps);
        EntryClock clock;
        QStringList got;
        for (const QString& step : steps.section(" => ", 0, 0).split(' ')) {
            if (step.startsWith('r')) {
                clock.read(step.mid(1).toLongLong() * 1000, false);
            } else if (step == "x") {
                clock.read(0, true);
            } else {
                const long long at = step.mid(1).toLongLong() * 1000;
                const std::optional<long long> on = clock.reached(at);
                got << (on ? QString::number(*on) : QString("-")) + "/" + QString::number(clock.within(at) / 1000);
            }
        }
        QCOMPARE(got.join(' '), steps.section(" => ", 1));
    }

    // Entries laid on one time line: the pictures shown run on by one frame across each boundary, whatever the B-frames
    // and however long the sound of the entry before lasted; no stream goes back, and the sound keeps its place beside
    // its entry's pictures.
    void tag_retimer_data()
    {
        // Each entry: pictures, first picture's time, B-frame delay, sound from, sound until (ms in the entry), and 1
        // when that sound is silence of ours.
        QTest::addColumn<QList<QList<int>>>("entries");
        QTest::addColumn<int>("sound_left_out");
        const QList<int> plain{25, 0, 0, 0, 1000};
        QTest::newRow("sound as long as the pictures") << QList<QList<int>>{plain, plain} << 0;
        QTest::newRow("the sound before outlasts its pictures (the loop wrap)")
            << QList<QList<int>>{{25, 0, 0, 0, 1150}, plain} << 6;
        QTest::newRow("sound primed ahead of the pictures")
            << QList<QList<int>>{{25, 21, 0, 0, 1021}, {25, 21, 0, 0, 1021}} << 1;
        QTest::newRow("B-frames after an entry without") << QList<QList<int>>{plain, {25, 0, 80, 59, 1080}, plain} << 1;
        QTest::newRow("a short sound, then pictures alone")
            << QList<QList<int>>{{25, 0, 0, 0, 500}, {25, 0, 0, 1000, 1000}, plain} << 0;
        // The entry after keeps its first sound frame; the silence it overlaps goes.
        QTest::newRow("silence of ours past its pictures, then primed sound")
            << QList<QList<int>>{{25, 23, 0, 0, 1040, 1}, {25, 23, 0, 0, 1000}} << 0;
    }
    void tag_retimer()
    {
        QFETCH(QList<QList<int>>, entries);
        QFETCH(int, sound_left_out);
        TagRetimer retimer;
        // The first entry's file header goes on as it is.
        const std::string file_header("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13);
        std::string out;
        QList<size_t> ends;
        QList<long long> starts;
        for (int e = 0; e < entries.size(); ++e) {
            const QList<int>& entry = entries[e];
            const bool silence = entry.value(5) == 1;
            retimer.begin_entry(e == 0 ? file_header.size() : 0, silence);
            starts << retimer.start_ms();
            const std::string bytes = (e == 0 ? file_header : std::string()) +
                                      flv_entry(entry[0], entry[1], entry[2], entry[3], entry[4], silence);
            for (size_t at = 0; at < bytes.size(); at += 7) // in pieces that split tags
                out += retimer.feed(bytes.data() + at, std::min<size_t>(7, bytes.size() - at));
            out += retimer.end_entry();
            ends << out.size() - file_header.size();
        }
        QCOMPARE(retimer.sound_left_out(), sound_left_out);
        QCOMPARE(out.substr(0, file_header.size()), file_header);
        const QList<FlvTime> times = flv_times(out.substr(file_header.size()), ends);
        // Only the first entry's metadata: the publisher writes its own, and a later one garbles the stream.
        QCOMPARE(std::count_if(times.begin(), times.end(), [](const FlvTime& t) { return t.kind == 's'; }), 1);
        QCOMPARE(times.first().kind, 's');
        QList<long long> shown;
        long long decoded = -1, sounded = -1;
        for (const FlvTime& t : times) {
            if (t.kind == 'v') {
                QVERIFY2(t.decoded > decoded,
                         qPrintable(QString("picture decoded at %1 after %2").arg(t.decoded).arg(decoded)));
                QVERIFY(t.shown >= t.decoded);
                decoded = t.decoded;
                shown << t.shown;
                // The entry's pictures are shown from where it begins.
                if (t.entry > 0 && shown.size() == 1 + 25 * t.entry)
                    QCOMPARE(t.shown, starts[t.entry]);
            } else if (t.kind == 'a' || t.kind == 'z') {
                QVERIFY2(t.decoded > sounded, qPrintable(QString("sound at %1 after %2").arg(t.decoded).arg(sounded)));
                sounded = t.decoded;
            }
        }
        std::sort(shown.begin(), shown.end());
        for (int i = 1; i < shown.size(); ++i)
            QVERIFY2(shown[i] - shown[i - 1] == 40,
                     qPrintable(QString("shown %1 after %2").arg(shown[i]).arg(shown[i - 1])));
        QCOMPARE(retimer.next_start_ms(), shown.last() + 40);
        // Each later entry's sound keeps its distance to the entry's first picture.
        for (const FlvTime& t : times) {
            if (t.entry > 0 && t.kind == 'a') {
                const QList<int>& entry = entries[t.entry];
                const long long source = t.decoded - starts[t.entry] + entry[1] + entry[2];
                QVERIFY2(source >= entry[3] && (source - entry[3]) % 23 == 0, qPrintable(QString::number(source)));
            }
        }
    }

    void input_listing_data()
    {
        using V = InputListing::Verdict;
        QTest::addColumn<QString>("log");
        QTest::addColumn<V>("verdict");
        const QString in = "Input #0, flv, from 'rtmp://h/live/x':\n  Metadata:\n    fps             : 25\n",
                      audio = "  Stream #0:0: Audio: aac\n", mapping = "Stream mapping:\n";
        QTest::newRow("audio and video") << in + audio + "  Stream #0:1: Video: h264, yuv420p, 320x240\n" + mapping
                                         << V::Video;
        // Analysed too briefly to know the size: no file could be written.
        QTest::newRow("a video of unknown size")
            << in + "  Stream #0:0, 0, 1/90000: Video: h264 (avc1 / 0x31637661), none, 90k tbr\n" + mapping
            << V::NoVideo;
        QTest::newRow("audio only") << in + "  Stream #0:0: Audio: aac (LC)\n" + mapping << V::NoVideo;
        QTest::newRow("tagged stream, carriage returns")
            << in + QString("  Stream #0:0(und): Video: h264, 1280x720\r\nStream mapping:\r\n") << V::Video;
        QTest::newRow("listing not over yet") << in + audio << V::Pending;
        QTest::newRow("only the input's streams count")
            << in + audio + QString("Output #0, mp4:\n  Stream #0:0: Video: h264\n") << V::NoVideo;
        QTest::newRow("the banner's word Video is no stream")
            << "  configuration: --enable-video\n" + in + "  Stream #0:0: Data: none (Video: x)\n" + mapping
            << V::NoVideo;
    }
    void input_listing()
    {
        QFETCH(QString, log);
        QFETCH(InputListing::Verdict, verdict);
        const std::string text = log.toStdString();
        // The log comes in pieces of any size.
        for (size_t piece : {text.size(), size_t(1), size_t(7)}) {
            InputListing listing;
            ChildLog log(nullptr, ChildLog::Mode::Quiet);
            log.on_line = [&](std::string_view line) { listing.take_line(line); };
            for (size_t at = 0; at < text.size(); at += piece)
                log.feed(text.data() + at, std::min(piece, text.size() - at), ChildLog::Clock::now());
            QCOMPARE(listing.take_line({}), verdict);
        }
    }

    // A playlist is over only when it says so; a list of variants is over when its first variant is, found where its
    // address, relative to the list's, says. Served by a real http server.
    void playlist_end_data()
    {
        QTest::addColumn<QString>("lists"); // the files served, "name:text" with "~" for line breaks
        QTest::addColumn<bool>("ended");    // of "top.m3u8"
        const QString ended = "#EXTM3U~#EXTINF:1,~a0.ts~#EXT-X-ENDLIST~", live = "#EXTM3U~#EXTINF:1,~a0.ts~";
        const QString master = "top.m3u8:#EXTM3U~#EXT-X-STREAM-INF:BANDWIDTH=1~%1~";
        QTest::newRow("ended") << "top.m3u8:" + ended << true;
        QTest::newRow("still growing") << "top.m3u8:" + live << false;
        QTest::newRow("a variant beside it, ended") << master.arg("low/a.m3u8") + " low/a.m3u8:" + ended << true;
        QTest::newRow("a variant from the root, growing") << master.arg("/low/a.m3u8") + " low/a.m3u8:" + live << false;
        QTest::newRow("no such variant") << master.arg("gone.m3u8") << false;
    }
    void playlist_end()
    {
        QFETCH(QString, lists);
        QFETCH(bool, ended);
        QTemporaryDir root;
        for (const QString& list : lists.split(' '))
            QVERIFY(testmedia::write_file(root.filePath(list.section(':', 0, 0)),
                                          list.section(':', 1).replace('~', "\r\n").toUtf8()));
        HttpServer http;
        QVERIFY2(http.start(root.path()), qPrintable(http.output()));
        QCOMPARE(playlist_ended(http.url("top.m3u8?k=1").toStdString(), 3000000), ended);
    }

    // Addresses as platforms hand them out: the application, an instance, a key with a query.
    void rtmp_address_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("parts"); // host|port|app|stream|tcUrl, empty when refused
        QTest::newRow("application and key") << "rtmp://a.example.com/live2/ab12-cd34"
                                             << "a.example.com|1935|live2|ab12-cd34|rtmp://a.example.com/live2";
        QTest::newRow("rtmps, a key whose query holds a slash")
            << "rtmps://live.example.com:443/rtmp/FB-1-0?s_bl=1&sig=a/b"
            << "live.example.com|443|rtmp|FB-1-0?s_bl=1&sig=a/b|rtmps://live.example.com:443/rtmp";
        QTest::newRow("application with an instance") << "rtmp://127.0.0.1:19350/app/inst/key"
                                                      << "127.0.0.1|19350|app/inst|key|rtmp://127.0.0.1:19350/app/inst";
        QTest::newRow("IPv6, rtmps' own port") << "rtmps://[::1]/live/k"
                                               << "::1|443|live|k|rtmps://[::1]/live";
        QTest::newRow("no stream name") << "rtmp://host/live"
                                        << "";
        QTest::newRow("no such port") << "rtmp://host:70000/live/k"
                                      << "";
        QTest::newRow("not rtmp") << "srt://host:9000/live/k"
                                  << "";
    }
    void rtmp_address()
    {
        QFETCH(QString, url);
        QFETCH(QString, parts);
        const std::optional<rtmp::Address> address = rtmp::parse_address(url.toStdString());
        const QString got =
            !address ? QString()
                     : QString("%1|%2|%3|%4|%5")
                           .arg(QString::fromStdString(address->host))
                           .arg(address->port)
                           .arg(QString::fromStdString(address->app), QString::fromStdString(address->stream),
                                QString::fromStdString(address->tc_url));
        QCOMPARE(got, parts);
        QCOMPARE(address && address->tls, url.startsWith("rtmps"));
    }

    // Our own publishing connection against a real server: what a reader gets
    // is what was sent, picture for picture, with times past 24 bits too; a
    // server that refuses says so.
    void rtmp_publish_data()
    {
        QTest::addColumn<QString>("to");      // "ok", "busy" (published already), "closed" (nothing listens)
        QTest::addColumn<int>("offset_s");    // where the stream's times begin
        QTest::addColumn<QString>("outcome"); // the reason it was refused, or empty
        QTest::newRow("times from 0") << "ok" << 0 << "";
        QTest::newRow("times past 24 bits of milliseconds") << "ok" << 16777 << "";
        QTest::newRow("a name someone already publishes") << "busy" << 0 << "refused";
        QTest::newRow("nothing listens") << "closed" << 0 << "connect";
    }
    void rtmp_publish()
    {
        QFETCH(QString, to);
        QFETCH(int, offset_s);
        QFETCH(QString, outcome);
        QTemporaryDir dir;
        RtmpServer server;
        QVERIFY(server.start());
        const QString clip = testmedia::make_clip(dir.filePath("clip.mp4"), 2, 640, 360);
        const QString flv = dir.filePath("clip.flv");
        QVERIFY(testmedia::ffmpeg({"-i", clip, "-c", "copy", "-output_ts_offset", QString::number(offset_s), flv}));
        const QString stream = QString("p%1").arg(offset_s);
        QString url = server.url(stream);
        if (to == "busy")
            QVERIFY(server.publish(clip, stream));
        if (to == "closed") {
            QTcpServer gone;
            QVERIFY(gone.listen(QHostAddress::LocalHost));
            url = QString("rtmp://127.0.0.1:%1/live/x").arg(gone.serverPort());
        }
        QProcess reader;
        const QString got = dir.filePath("got.flv");
        if (to == "ok") {
            // The server does not end a reader's stream: the reader ends once nothing comes for 5 s.
            reader.start("ffmpeg", {"-v", "error", "-rw_timeout", "5000000", "-i", url, "-c", "copy", "-y", got});
            QTRY_VERIFY_WITH_TIMEOUT(server.log().contains("play: name='" + stream), 60000);
        }
        const auto given_up = steady_clock::now() + seconds(30);
        RtmpPublisher publisher([&] { return steady_clock::now() > given_up; });
        protocol::Outcome why = protocol::Outcome::UnsupportedFormat;
        const bool open = publisher.open(url.toStdString(), false, why);
        QCOMPARE(open ? QString()
                      : QString::fromStdString(protocol::write_dest(0, protocol::DestState::Down, why))
                            .section('|', 3)
                            .trimmed(),
                 outcome);
        if (!open)
            return;
        // The tags after the file header, in pieces that split them anywhere.
        const QByteArray tags = testmedia::read_file(flv).mid(13);
        for (qsizetype at = 0; at < tags.size(); at += 1000)
            QVERIFY(publisher.send_flv(
                std::string_view(tags.constData() + at, size_t(std::min<qsizetype>(1000, tags.size() - at)))));
        publisher.close();
        QVERIFY(reader.waitForFinished(60000));
        // Every picture but the last, which the server may hold back, as sent and 40 ms apart.
        const auto pictures = [](const QString& path) {
            return testmedia::run("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_data_hash", "crc32",
                                              "-show_entries", "packet=dts_time,data_hash", "-of", "csv=p=0", path})
                .out.split('\n', Qt::SkipEmptyParts);
        };
        const QStringList sent = pictures(flv), heard = pictures(got);
        QVERIFY2(heard.size() >= sent.size() - 1, qPrintable(QString("%1 of %2").arg(heard.size()).arg(sent.size())));
        for (qsizetype i = 0; i + 1 < heard.size(); ++i) {
            QCOMPARE(heard[i].section(',', 1), sent[i].section(',', 1));
            if (i > 0)
                QVERIFY2(qAbs(heard[i].section(',', 0, 0).toDouble() - heard[i - 1].section(',', 0, 0).toDouble() -
                              0.04) < 0.002,
                         qPrintable(heard[i - 1] + " then " + heard[i]));
        }
    }

    // A file read into FLV here, unpaced: from a position it begins at the key
    // picture at or before it with its times from 0, its progress counted from
    // the position; what FLV cannot hold, or no file, says so in ffmpeg's words.
    void file_source_data()
    {
        QTest::addColumn<QString>("input"); // "av", "pictures", "sound", "missing", "vp9"
        QTest::addColumn<int>("from_ms");
        QTest::addColumn<int>("paced_ms"); // at its own pace, pumped again this long after the start; else -1
        // Pictures, the first's time and whether key, sound, the progress (the last packet's start); or the error.
        QTest::addColumn<QString>("expected");
        QTest::newRow("from the start") << "av" << 0 << -1 << "100 pictures from 0 ms key, sound, 3.99 s";
        QTest::newRow("from 2.5 s, key pictures 1 s apart")
            << "av" << 2500 << -1 << "50 pictures from 0 ms key, sound, 1.49 s";
        QTest::newRow("pictures only, from 3 s") << "pictures" << 3000 << -1 << "25 pictures from 0 ms key, 0.96 s";
        QTest::newRow("sound only, from 1 s") << "sound" << 1000 << -1 << "0 pictures, sound, 2.99 s";
        // What is due by then, and 50 ms more: pictures 0 to 1.04 s; the sound was last due at 1.045 s.
        QTest::newRow("at its own pace, 1 s in") << "av" << 0 << 1000 << "27 pictures from 0 ms key, sound, 1.04 s";
        QTest::newRow("no such file") << "missing" << 0 << -1 << "No such file or directory";
        QTest::newRow("VP9, which FLV cannot carry") << "vp9" << 0 << -1 << "Could not write header";
    }
    void file_source()
    {
        QFETCH(QString, input);
        QFETCH(int, from_ms);
        QFETCH(int, paced_ms);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QString file = dir.filePath("none.mp4");
        if (input == "av" || input == "pictures")
            file = testmedia::make_clip(dir.filePath("clip.mp4"), 4, 320, 240, "25", input == "av");
        else if (input == "sound")
            QVERIFY(testmedia::ffmpeg(
                {"-f", "lavfi", "-i", "sine=duration=4", "-c:a", "aac", file = dir.filePath("s.m4a")}));
        else if (input == "vp9")
            QVERIFY(testmedia::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:duration=1", "-c:v", "libvpx-vp9",
                                       file = dir.filePath("v.webm")}));
        std::string flv;
        FlvFileSource source([&flv](const char* data, size_t size) { flv.append(data, size); });
        FlvFileSource::State state = FlvFileSource::State::Failed;
        if (source.open(file.toStdString(), from_ms, paced_ms >= 0)) {
            steady_clock::time_point next;
            if (paced_ms >= 0) {
                QCOMPARE(source.pump(at(0), next), FlvFileSource::State::Due);
                state = source.pump(at(paced_ms), next);
                QVERIFY(next > at(paced_ms));
            }
            while (paced_ms < 0 && (state = source.pump(steady_clock::now(), next)) == FlvFileSource::State::Due) {
            }
        }
        if (paced_ms >= 0)
            QCOMPARE(state, FlvFileSource::State::Due);
        else if (state != FlvFileSource::State::Ended) {
            QVERIFY2(QString::fromStdString(source.error()).contains(expected), source.error().c_str());
            return;
        }
        QVERIFY(flv.rfind("FLV", 0) == 0);
        int pictures = 0;
        bool sound = false;
        QString first;
        const auto b = [&](size_t i) { return static_cast<long long>(static_cast<unsigned char>(flv[i])); };
        for (size_t at = 13; at + 11 <= flv.size();
             at += 11 + size_t((b(at + 1) << 16) | (b(at + 2) << 8) | b(at + 3)) + 4) {
            const bool header = b(at + 12) != 1; // a stream's header, or the pictures' end
            if (b(at) == 9 && !header && pictures++ == 0)
                first = QString(" from %1 ms %2")
                            .arg((b(at + 7) << 24) | (b(at + 4) << 16) | (b(at + 5) << 8) | b(at + 6))
                            .arg(b(at + 11) >> 4 == 1 ? "key" : "inter");
            sound = sound || (b(at) == 8 && b(at + 12) != 0);
        }
        const ProgressBlock progress = source.progress(steady_clock::now());
        QCOMPARE(QString("%1 pictures%2%3, %4 s")
                     .arg(pictures)
                     .arg(first, sound ? ", sound" : "")
                     .arg(progress.out_time_us / 1e6, 0, 'f', 2),
                 expected);
    }

    // A destination that takes the connection and never answers holds up
    // nothing: far more than its queue holds goes by without waiting for room.
    void fan_out_overflow()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        std::string said;
        OutputWriter writer([&said](const std::string& text) { said += text; }, milliseconds(0));
        const std::string address = QString("rtmp://127.0.0.1:%1/live/x").arg(silent.serverPort()).toStdString();
        FanOut fan({protocol::PushTarget{address, false}}, 600'000'000LL, writer);
        fan.begin();
        std::atomic<bool> fed{false};
        std::thread feeder([&] {
            const std::string picture(512 * 1024, 'p');
            fan.feed("FLV\x01\x01\x00\x00\x00\x09\x00\x00\x00\x00", 13);
            const std::string head = flv_tag(9, 0, std::string("\x17\x00\x00\x00\x00", 5));
            fan.feed(head.data(), head.size());
            for (int i = 0; i < 48; ++i) {
                const std::string tag = flv_tag(9, 40 * i, std::string(i % 12 ? "\x27\x01" : "\x17\x01") + picture);
                fan.feed(tag.data(), tag.size());
            }
            fed = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(fed, 20000);
        feeder.join();
    }
};

QTEST_GUILESS_MAIN(TestFfmpegParts)
#include "test_ffmpegparts.moc"
