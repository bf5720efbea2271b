// Vidmend.exe against recordings made on the spot: a damaged file is the
// first part of a longer recording's bytes, and the repaired file must hold
// every complete sample of that part exactly as the original recording had
// it. The pieces whose mistakes a short recording would not show (box sizes,
// picture order counts, the job file, the report gate) have tables of their own.

#include "audioschedule.h"
#include "boxes.h"
#include "jobfile.h"
#include "namepipe.h"
#include "reporter.h"
#include "slices.h"
#include "testmedia.h"
#include "timestamps.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtEndian>
#include <QtTest>

#include <mutex>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

struct Packet
{
    int stream;
    qint64 pts, dts, pos;
    int size;
    bool key;
    bool operator==(const Packet& o) const
    {
        return stream == o.stream && pts == o.pts && dts == o.dts && size == o.size && key == o.key;
    }
};

char* describe(const Packet& p)
{
    return qstrdup(QString("stream %1 pts %2 dts %3 size %4%5")
                       .arg(p.stream)
                       .arg(p.pts)
                       .arg(p.dts)
                       .arg(p.size)
                       .arg(p.key ? " key" : "")
                       .toUtf8());
}

struct Media
{
    QStringList streams; // "video:h264", "audio:aac", ...
    QList<Packet> packets;
};

Media read_media(const QString& path)
{
    Media media;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return media;
    if (avformat_find_stream_info(ctx, nullptr) >= 0) {
        for (unsigned i = 0; i < ctx->nb_streams; ++i) {
            const AVCodecParameters* par = ctx->streams[i]->codecpar;
            media.streams << QString("%1:%2").arg(av_get_media_type_string(par->codec_type),
                                                  avcodec_get_name(par->codec_id));
        }
        AVPacket* pkt = av_packet_alloc();
        while (av_read_frame(ctx, pkt) >= 0) {
            media.packets << Packet{pkt->stream_index, pkt->pts,  pkt->dts,
                                    pkt->pos,          pkt->size, (pkt->flags & AV_PKT_FLAG_KEY) != 0};
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&ctx);
    return media;
}

QByteArray digest(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Md5);
}

quint32 be32(const QByteArray& d, qint64 at)
{
    return qFromBigEndian<quint32>(d.constData() + at);
}

// The first `fraction` of a recording's bytes, with the mdat size left as a
// killed writer leaves it ("zero", "preallocated") or in the 64-bit form ("large").
QString damage(const QString& original, const QString& out, double fraction, const QString& mdat)
{
    QFile in(original);
    in.open(QIODevice::ReadOnly);
    QByteArray d = in.readAll().left(qint64(in.size() * fraction));
    const qint64 at = d.indexOf("mdat") - 4;
    if (mdat == "zero" || mdat == "preallocated") {
        qToBigEndian<quint32>(0, d.data() + at);
        // A writer that reserves the file's space ahead leaves zeros after the last sample.
        if (mdat == "preallocated")
            d.append(QByteArray(1 << 20, 0));
    }
    if (mdat == "large") {
        // The writer keeps an 8-byte free box ahead of the mdat for just this.
        if (d.mid(at - 4, 4) != "free")
            return {};
        const quint64 size = be32(d, at) + 8;
        QByteArray header(16, 0);
        qToBigEndian<quint32>(1, header.data());
        header.replace(4, 4, "mdat");
        qToBigEndian<quint64>(size, header.data() + 8);
        d.replace(at - 8, 16, header);
    }
    QFile f(out);
    return f.open(QIODevice::WriteOnly) && f.write(d) == d.size() ? out : QString();
}

// Rewrites the chunk offset tables of a file whose moov comes last in their
// 64-bit form, as a writer does once the media data passes 4 GB.
QByteArray wide_offsets(const QByteArray& box)
{
    const QByteArray type = box.mid(4, 4);
    QByteArray body;
    if (type == "stco") {
        body = box.mid(8, 8);
        const quint32 n = be32(box, 12);
        for (quint32 i = 0; i < n; ++i) {
            char wide[8];
            qToBigEndian<quint64>(be32(box, 16 + 4 * i), wide);
            body.append(wide, 8);
        }
    } else if (type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl") {
        for (qint64 at = 8; at + 8 <= box.size(); at += be32(box, at))
            body += wide_offsets(box.mid(at, be32(box, at)));
    } else {
        return box;
    }
    QByteArray out(4, 0);
    qToBigEndian<quint32>(quint32(body.size() + 8), out.data());
    return out + (type == "stco" ? QByteArray("co64") : type) + body;
}

bool to_co64(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    const QByteArray d = f.readAll();
    qint64 at = 0;
    while (at + 8 <= d.size() && d.mid(at + 4, 4) != "moov")
        at += be32(d, at);
    if (at + be32(d, at) != d.size())
        return false;
    const QByteArray moov = wide_offsets(d.mid(at));
    f.seek(at);
    return f.write(moov) == moov.size() && moov.contains("co64");
}

// The repair window's side of the pipe: records each report and answers it.
struct Window
{
    std::mutex mutex;
    QStringList reports;
    QString stop_at; // answer "pro_end" to the first report with this state word

    static void take(const char* data, int len, std::string& reply, void* user)
    {
        Window* w = static_cast<Window*>(user);
        std::lock_guard<std::mutex> guard(w->mutex);
        const QString report = QString::fromUtf8(data, len);
        w->reports << report;
        if (!w->stop_at.isEmpty() && report.section(' ', 3, 3) == w->stop_at)
            reply = "pro_end";
    }
};

} // namespace

namespace QTest {
template<>
char* toString(const Packet& p)
{
    return describe(p);
}
} // namespace QTest

class TestVidmend : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void repair_data();
    void repair();
    void refusals_data();
    void refusals();
    void job_file_data();
    void job_file();
    void boxes_data();
    void boxes();
    void picture_order_data();
    void picture_order();
    void display_order_data();
    void display_order();
    void audio_schedule_data();
    void audio_schedule();
    void report_gate_data();
    void report_gate();
    void job_text_data();
    void job_text();

private:
    QString recording(const QString& name, int seconds, const testmedia::Recording& settings);
    int run(const QStringList& args, QString* out = nullptr, QString* err = nullptr);

    QTemporaryDir m_dir;
    QString m_exe;
};

void TestVidmend::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_exe = QCoreApplication::applicationDirPath() + "/Vidmend.exe";
    QVERIFY(QFileInfo(m_exe).isExecutable());
}

// Recordings are kept for the rows that share them.
QString TestVidmend::recording(const QString& name, int seconds, const testmedia::Recording& settings)
{
    const QString path = m_dir.filePath(name);
    if (QFile::exists(path))
        return path;
    return testmedia::make_recording(path, seconds, settings);
}

int TestVidmend::run(const QStringList& args, QString* out, QString* err)
{
    QProcess p;
    p.start(m_exe, args);
    if (!p.waitForFinished(180000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out)
        *out = QString::fromUtf8(p.readAllStandardOutput());
    if (err)
        *err = QString::fromUtf8(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

void TestVidmend::repair_data()
{
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<int>("bframes");
    QTest::addColumn<QStringList>("audio");
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QString>("mdat");
    QTest::addColumn<QString>("reference");
    QTest::addColumn<QStringList>("streams");

    // The repaired file has the video and the AAC tracks, in the reference's order, and nothing else.
    const auto row = [](const char* name, const char* codec, const char* rate, int bframes, const QStringList& audio,
                        const QStringList& params, const char* mdat, const char* reference) {
        QStringList streams{QString("video:") + codec};
        for (int i = 0; i < audio.size(); ++i)
            streams << "audio:aac";
        QTest::newRow(name) << QString(codec) << QString(rate) << bframes << audio << params << QString(mdat)
                            << QString(reference) << streams;
    };
    const QStringList stereo48{"48000:2"}, mono441{"44100:1"}, none;
    row("H.264, B-frames, 25 fps, stereo 48 kHz", "h264", "25", 3, stereo48, none, "", "");
    row("H.264, 30000/1001 fps, mono 44.1 kHz, killed writer", "h264", "30000/1001", 2, mono441, none, "zero", "");
    row("HEVC, B-frames, stereo 48 kHz, 64-bit mdat size", "hevc", "25", 3, stereo48, none, "large", "");
    row("HEVC, 30000/1001 fps, mono 44.1 kHz, killed writer with the file preallocated", "hevc", "30000/1001", 4,
        mono441, none, "preallocated", "");
    row("two audio tracks, stereo and mono", "h264", "25", 3, {"48000:2", "48000:1"}, none, "", "");
    row("H.264 video only, no B-frames", "h264", "25", 0, none, none, "", "");
    row("HEVC video only", "hevc", "30000/1001", 3, none, none, "large", "");
    row("H.264, four slices a picture, AUDs", "h264", "25", 3, stereo48, {"slices=4", "aud=1"}, "", "");
    row("HEVC, three slices a picture, AUDs, parameter sets in the stream", "hevc", "25", 3, stereo48,
        {"slices=3", "aud=1", "repeat-headers=1"}, "", "");
    row("reference with 64-bit chunk offsets", "h264", "25", 3, stereo48, none, "", "co64");
    row("reference and recording with a timecode track", "h264", "25", 3, stereo48, none, "", "timecode");
}

void TestVidmend::repair()
{
    QFETCH(QString, codec);
    QFETCH(QString, rate);
    QFETCH(int, bframes);
    QFETCH(QStringList, audio);
    QFETCH(QStringList, params);
    QFETCH(QString, mdat);
    QFETCH(QString, reference);
    QFETCH(QStringList, streams);

    testmedia::Recording settings;
    settings.codec = codec;
    settings.rate = rate;
    settings.bframes = bframes;
    settings.audio = audio;
    settings.video_params = params;
    if (reference == "timecode")
        settings.options << "-timecode"
                         << "01:00:00:00";
    const QString key =
        QString::number(qHash(QStringList{codec, rate, QString::number(bframes)} + audio + params + settings.options));
    const QString original = recording(key + "-original.mp4", 8, settings);
    settings.scene = 1;
    QString ref = recording(key + "-reference.mp4", 3, settings);
    QVERIFY(!original.isEmpty() && !ref.isEmpty());
    if (reference == "co64") {
        ref = m_dir.filePath(key + "-reference-co64.mp4");
        QFile::remove(ref);
        QVERIFY(QFile::copy(m_dir.filePath(key + "-reference.mp4"), ref));
        QVERIFY(to_co64(ref));
    }
    const QString damaged = damage(original, m_dir.filePath(key + mdat + "-damaged.mp4"), 0.61, mdat);
    QVERIFY(!damaged.isEmpty());
    const QByteArray before = digest(damaged) + digest(ref);

    const QString out = m_dir.filePath(key + mdat + reference + "-repaired.mp4");
    QString printed;
    QCOMPARE(run({ref, damaged, out}, &printed), 0);
    QVERIFY2(printed.contains("done"), qPrintable(printed));
    QCOMPARE(digest(damaged) + digest(ref), before);

    const Media repaired = read_media(out);
    QCOMPARE(repaired.streams, streams);
    QProcess decode;
    decode.start("ffmpeg", {"-v", "error", "-nostdin", "-i", out, "-f", "null", "-"});
    QVERIFY(decode.waitForFinished(120000));
    QCOMPARE(decode.readAllStandardError(), QByteArray());

    // Every sample of the original that lies wholly inside the damaged part, in order.
    const qint64 cut = QFileInfo(damaged).size() - (mdat == "preallocated" ? 1 << 20 : 0);
    const Media whole = read_media(original);
    for (int s = 0; s < streams.size(); ++s) {
        QList<Packet> expected, got;
        for (const Packet& p : whole.packets)
            if (p.stream == s && p.pos + p.size <= cut)
                expected << p;
        for (const Packet& p : repaired.packets)
            if (p.stream == s)
                got << p;
        QVERIFY(!expected.isEmpty());
        QCOMPARE(got.size(), expected.size());
        for (int i = 0; i < got.size(); ++i)
            QCOMPARE(got[i], expected[i]);
    }
}

void TestVidmend::refusals_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("message");

    QTest::newRow("two arguments") << QStringList{"%ref", "%damaged"} << 1 << ""
                                   << "usage";
    QTest::newRow("output over the damaged file") << QStringList{"%ref", "%damaged", "%damaged"} << 1 << "usage"
                                                  << "three different files";
    QTest::newRow("damaged file missing") << QStringList{"%ref", "%dir/none.mp4", "%out"} << 2 << "unreadable"
                                          << "No such file";
    QTest::newRow("reference without video") << QStringList{"%audio", "%damaged", "%out"} << 3 << "novideo"
                                             << "no video track";
    QTest::newRow("damaged file of random bytes") << QStringList{"%ref", "%random", "%out"} << 4 << "notmp4"
                                                  << "is not an MP4";
    QTest::newRow("damaged file of text") << QStringList{"%ref", "%text", "%out"} << 4 << "notmp4"
                                          << "is not an MP4";
    QTest::newRow("reference with PCM audio") << QStringList{"%pcm", "%damaged", "%out"} << 5 << "unsupported"
                                              << "pcm_s16le";
    QTest::newRow("inputs swapped") << QStringList{"%damaged", "%ref", "%out"} << 6 << "swapped"
                                    << "look swapped";
    QTest::newRow("damaged file is whole") << QStringList{"%ref", "%original", "%out"} << 7 << "intact"
                                           << "nothing to repair";
    QTest::newRow("reference of another codec") << QStringList{"%hevcref", "%damaged", "%out"} << 8 << "nothing"
                                                << "does not match";
    QTest::newRow("output folder missing") << QStringList{"%ref", "%damaged", "%dir/none/out.mp4"} << 9 << "writefailed"
                                           << "cannot create";
}

void TestVidmend::refusals()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, word);
    QFETCH(QString, message);

    testmedia::Recording settings;
    const QString original = recording("refusal-original.mp4", 4, settings);
    settings.scene = 1;
    const QString ref = recording("refusal-reference.mp4", 2, settings);
    settings.codec = "hevc";
    const QString hevc_ref = recording("refusal-hevc-reference.mp4", 2, settings);
    const QString damaged = damage(original, m_dir.filePath("refusal-damaged.mp4"), 0.7, "");
    const QString audio = m_dir.filePath("audio-only.mp4"), pcm = m_dir.filePath("pcm.mov");
    QVERIFY(testmedia::ffmpeg({"-f", "lavfi", "-i", "sine=duration=1", "-c:a", "aac", audio}));
    QVERIFY(testmedia::ffmpeg({"-f", "lavfi", "-i", "testsrc2=duration=1", "-f", "lavfi", "-i", "sine=duration=1",
                               "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "pcm_s16le", pcm}));
    QFile random(m_dir.filePath("random.mp4")), text(m_dir.filePath("text.mp4"));
    QVERIFY(random.open(QIODevice::WriteOnly) && text.open(QIODevice::WriteOnly));
    for (int i = 0; i < 20000; ++i)
        random.write(QByteArray::number(QRandomGenerator::global()->generate()));
    text.write("not a video at all\n");
    random.close();
    text.close();

    const QString out = m_dir.filePath("refused.mp4");
    QFile::remove(out);
    const QMap<QString, QString> names{
        {"%ref", ref}, {"%damaged", damaged},  {"%original", original},        {"%audio", audio},
        {"%pcm", pcm}, {"%hevcref", hevc_ref}, {"%random", random.fileName()}, {"%text", text.fileName()},
        {"%out", out}, {"%dir", m_dir.path()}};
    for (QString& arg : args)
        for (auto it = names.begin(); it != names.end(); ++it)
            arg.replace(it.key(), it.value());
    const QByteArray before = digest(damaged) + digest(ref);

    QString printed, complaint;
    QCOMPARE(run(args, &printed, &complaint), code);
    QVERIFY2(complaint.contains(message), qPrintable(complaint));
    if (!word.isEmpty())
        QVERIFY2(printed.trimmed().endsWith("100% " + word), qPrintable(printed));
    QCOMPARE(digest(damaged) + digest(ref), before);
    QVERIFY(!QFile::exists(out) && !QFile::exists(out + ".part"));
}

void TestVidmend::job_file_data()
{
    QTest::addColumn<QString>("job");
    QTest::addColumn<QString>("stop_at");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("last");

    QTest::newRow("LF line ends") << "%ref\n%damaged\n25\n%out\n"
                                  << "" << 0 << "done";
    QTest::newRow("CR LF line ends, as the window writes them") << "%ref\r\n%damaged\r\n25\r\n%out\r\n"
                                                                << "" << 0 << "done";
    QTest::newRow("window closed while rebuilding") << "%ref\n%damaged\n25\n%out\n"
                                                    << "rebuilding" << 10 << "rebuilding";
    QTest::newRow("window closed while writing") << "%ref\n%damaged\n25\n%out\n"
                                                 << "writing" << 10 << "writing";
    QTest::newRow("three lines") << "%ref\n%damaged\n25\n"
                                 << "" << 1 << "usage";
    QTest::newRow("no job file") << ""
                                 << "" << 1 << "usage";
}

void TestVidmend::job_file()
{
    QFETCH(QString, job);
    QFETCH(QString, stop_at);
    QFETCH(int, code);
    QFETCH(QString, last);

    testmedia::Recording settings;
    const QString original = recording("job-original.mp4", 4, settings);
    settings.scene = 1;
    const QString ref = recording("job-reference.mp4", 2, settings);
    const QString damaged = damage(original, m_dir.filePath("job-damaged.mp4"), 0.8, "zero");
    const QString out = m_dir.filePath("job/repaired_zo_fixed.mp4");
    QVERIFY(QDir(m_dir.path()).mkpath("job"));
    QFile::remove(out);

    QFile file(QDir::tempPath() + "/mp4.rp");
    file.remove();
    if (!job.isEmpty()) {
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(job.replace("%ref", ref).replace("%damaged", damaged).replace("%out", out).toUtf8());
        file.close();
    }
    Window window;
    window.stop_at = stop_at;
    ServicePipe pipe("tarvo_mfix", 4096);
    pipe.m_pFunc = &Window::take;
    pipe.m_pUser = &window;

    QCOMPARE(run({}), code);
    std::lock_guard<std::mutex> guard(window.mutex);
    QVERIFY(!window.reports.isEmpty());
    int previous = 0;
    for (const QString& report : window.reports) {
        char word[64] = {}, state[64] = {};
        int pro = -1, total = -1;
        QCOMPARE(std::sscanf(report.toUtf8().constData(), "%63s %d %d %63s", word, &pro, &total, state), 4);
        QVERIFY2(pro >= previous && pro <= total, qPrintable(report));
        previous = pro;
    }
    const QStringList fields = window.reports.last().split(' ');
    QCOMPARE(fields.value(3), last);
    QCOMPARE(fields.value(1) == fields.value(2), code != 10);
    QCOMPARE(QFile::exists(out), code == 0);
    QVERIFY(!QFile::exists(out + ".part"));
}

void TestVidmend::boxes_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("iso");
    QTest::addColumn<bool>("moov");
    QTest::addColumn<QString>("media"); // "begin-end" of each mdat payload, "+" when cut short

    const auto box = [](const char* type, const QByteArray& body, qint64 size = -1) {
        QByteArray b(4, 0);
        qToBigEndian<quint32>(quint32(size < 0 ? body.size() + 8 : size), b.data());
        return b + type + body;
    };
    const auto large = [](const QByteArray& body, quint64 size) {
        QByteArray b(16, 0);
        qToBigEndian<quint32>(1, b.data());
        b.replace(4, 4, "mdat");
        qToBigEndian<quint64>(size, b.data() + 8);
        return b + body;
    };
    const QByteArray ftyp = box("ftyp", QByteArray("isom\0\0\0\0isom", 12)), payload(100, 'x');
    QTest::newRow("whole mdat") << ftyp + box("free", "") + box("mdat", payload) << true << false << "36-136";
    QTest::newRow("mdat of size 0, as a killed writer leaves it")
        << ftyp + box("mdat", payload, 0) << true << false << "28-128+";
    QTest::newRow("mdat size past the end of a cut copy")
        << ftyp + box("mdat", payload, 5000) << true << false << "28-128+";
    QTest::newRow("64-bit mdat size") << ftyp + large(payload, 116) + box("moov", "") << true << true << "36-136";
    QTest::newRow("64-bit mdat size past the end") << ftyp + large(payload, 1ull << 33) << true << false << "36-136+";
    QTest::newRow("moov cut short does not count")
        << ftyp + box("mdat", payload) + box("moov", "abc", 80) << true << false << "28-128";
    QTest::newRow("junk after the mdat") << ftyp + box("mdat", payload) + QByteArray(20, '\x01') << true << false
                                         << "28-128";
    QTest::newRow("two mdat boxes") << ftyp + box("mdat", payload) + box("mdat", payload) << true << false
                                    << "28-128 136-236";
    QTest::newRow("text") << QByteArray("just some text, long enough for a box header") << false << false << "";
    QTest::newRow("box with a size smaller than its header") << box("ftyp", "", 4) << false << false << "";
}

void TestVidmend::boxes()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, iso);
    QFETCH(bool, moov);
    QFETCH(QString, media);

    const vidmend::FileLayout layout =
        vidmend::scan_boxes(reinterpret_cast<const uint8_t*>(file.constData()), uint64_t(file.size()));
    QCOMPARE(layout.iso, iso);
    QCOMPARE(layout.has_moov, moov);
    QStringList ranges;
    for (const vidmend::ByteRange& r : layout.media)
        ranges << QString("%1-%2%3").arg(r.begin).arg(r.end).arg(r.cut ? "+" : "");
    QCOMPARE(ranges.join(' '), media);
}

void TestVidmend::picture_order_data()
{
    // Pictures in decoding order: I (IDR), P (reference), b (non-reference),
    // then frame_num (order count types 1 and 2) or pic_order_cnt_lsb (type
    // 0), "!" for a memory_management_control_operation 5, and the expected
    // order count. Expected values follow the standard's formulas by hand.
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("pictures");

    QTest::newRow("type 2: non-reference pictures fall between") << 2 << "I0:0 P1:2 b2:3 P2:4 P3:6";
    QTest::newRow("type 2: frame_num wraps at 16") << 2 << "I0:0 P13:26 P14:28 P15:30 P0:32 b1:33";
    QTest::newRow("type 1: cycle of offsets 3 and 5, non-reference -2") << 1 << "I0:0 P1:3 P2:8 b3:6 P3:11";
    QTest::newRow("type 0: lsb wraps at 16") << 0 << "I0:0 P4:4 P8:8 b6:6 P12:12 P0:16 b14:14 P4:20";
    QTest::newRow("type 0: operation 5 starts the count again") << 0 << "I0:0 P4:4 P8!:0 b2:2 P4:4";
}

void TestVidmend::picture_order()
{
    QFETCH(int, type);
    QFETCH(QString, pictures);

    vidmend::H264Sps sps;
    sps.poc_type = type;
    sps.log2_max_frame_num = 4;
    sps.log2_max_poc_lsb = 4;
    sps.offset_for_ref_frame = {3, 5};
    sps.offset_for_non_ref_pic = -2;
    vidmend::H264Poc poc;
    for (const QString& picture : pictures.split(' ')) {
        vidmend::SliceHeader s;
        s.nal_type = picture[0] == 'I' ? 5 : 1;
        s.reference = picture[0] != 'b';
        s.mmco5 = picture.contains('!');
        const int n = picture.mid(1).section(':', 0, 0).remove('!').toInt();
        (type == 0 ? s.poc_lsb : s.frame_num) = n;
        const vidmend::PictureOrder order = poc.next(s, sps);
        QVERIFY2(order.poc == picture.section(':', 1).toInt(),
                 qPrintable(picture + " gave " + QString::number(order.poc)));
        QCOMPARE(order.period_start, picture[0] == 'I' || s.mmco5);
    }
}

void TestVidmend::display_order_data()
{
    QTest::addColumn<QString>("pocs"); // decoding order; "|" begins a period
    QTest::addColumn<QString>("display");

    QTest::newRow("B-pyramid counting in twos") << "0 8 4 2 6 16 12 10 14"
                                                << "0 4 2 1 3 8 6 5 7";
    QTest::newRow("cut-off group keeps its places") << "0 8 4 2 6 16 12"
                                                    << "0 4 2 1 3 8 6";
    QTest::newRow("two periods") << "0 4 2 | 0 4 2"
                                 << "0 2 1 3 5 4";
    QTest::newRow("leading pictures before a random access point") << "0 -2 -1 3 1 2"
                                                                   << "2 0 1 5 3 4";
    QTest::newRow("uneven counts fall back to ranks") << "0 5 3"
                                                      << "0 2 1";
}

void TestVidmend::display_order()
{
    QFETCH(QString, pocs);
    QFETCH(QString, display);

    std::vector<int32_t> poc;
    std::vector<bool> starts;
    bool next_starts = false;
    for (const QString& token : pocs.split(' ')) {
        if (token == "|") {
            next_starts = true;
            continue;
        }
        poc.push_back(token.toInt());
        starts.push_back(next_starts);
        next_starts = false;
    }
    QStringList got;
    for (int64_t d : vidmend::display_order(poc, starts))
        got << QString::number(d);
    QCOMPARE(got.join(' '), display);
}

void TestVidmend::audio_schedule_data()
{
    // Reference gaps between video samples, tracks in file order; the frames
    // of the next gaps; the tracks they are given.
    QTest::addColumn<QString>("reference");
    QTest::addColumn<QString>("counts");
    QTest::addColumn<QString>("tracks");

    QTest::newRow("interleaved by time, the first track first on a tie") << "01 0101 01"
                                                                         << "4 1 3"
                                                                         << "0101 0 101";
    QTest::newRow("one run per track") << "000111 0011 000111"
                                       << "6 4"
                                       << "000111 0011";
}

void TestVidmend::audio_schedule()
{
    QFETCH(QString, reference);
    QFETCH(QString, counts);
    QFETCH(QString, tracks);

    const std::vector<vidmend::AudioSchedule::Track> timing{{0, 0.021}, {0, 0.021}};
    std::vector<std::vector<int>> gaps;
    for (const QString& gap : reference.split(' ')) {
        gaps.emplace_back();
        for (QChar c : gap)
            gaps.back().push_back(c.digitValue());
    }
    vidmend::AudioSchedule schedule(timing, vidmend::AudioSchedule::learn(timing, gaps));
    QStringList got;
    std::vector<int> out;
    for (const QString& count : counts.split(' ')) {
        schedule.assign(size_t(count.toInt()), out);
        QString gap;
        for (int t : out)
            gap += QString::number(t);
        got << gap;
    }
    QCOMPARE(got.join(' '), tracks);
}

void TestVidmend::report_gate_data()
{
    // "milliseconds:progress:state" per report, and which of them go out (200 ms apart at most once).
    QTest::addColumn<QString>("reports");
    QTest::addColumn<QString>("sent");

    QTest::newRow("progress waits for the interval") << "0:0:parsing 0:0:rebuilding 50:10:rebuilding "
                                                        "199:20:rebuilding 200:30:rebuilding 250:40:rebuilding"
                                                     << "1 1 0 0 1 0";
    QTest::newRow("a new state goes at once") << "0:0:rebuilding 10:600:writing 20:610:writing"
                                              << "1 1 0";
    QTest::newRow("the end goes at once") << "0:0:writing 10:1000:done"
                                          << "1 1";
    QTest::newRow("no progress, nothing new") << "0:5:rebuilding 500:5:rebuilding 900:6:rebuilding"
                                              << "1 0 1";
}

void TestVidmend::report_gate()
{
    QFETCH(QString, reports);
    QFETCH(QString, sent);

    vidmend::ProgressGate gate(std::chrono::milliseconds(200));
    const vidmend::ProgressGate::Clock::time_point start{};
    QStringList got;
    for (const QString& r : reports.split(' ')) {
        const QStringList f = r.split(':');
        got << (gate.due(f[1].toInt(), 1000, f[2].toStdString(), start + std::chrono::milliseconds(f[0].toInt()))
                    ? "1"
                    : "0");
    }
    QCOMPARE(got.join(' '), sent);
}

void TestVidmend::job_text_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("fields"); // reference|damaged|fps|output

    QTest::newRow("LF") << QByteArray("/a/ref.mp4\n/a/bad.mp4\n30\n/a/out.mp4\n") << true
                        << "/a/ref.mp4|/a/bad.mp4|30|/a/out.mp4";
    QTest::newRow("CR LF, Chinese path") << QByteArray(
                                                "/视频/ref.mp4\r\n/视频/坏.mp4\r\n25\r\n/视频/坏_zo_fixed.mp4\r\n")
                                         << true << "/视频/ref.mp4|/视频/坏.mp4|25|/视频/坏_zo_fixed.mp4";
    QTest::newRow("no end of line after the output") << QByteArray("r\nd\n25\no") << true << "r|d|25|o";
    QTest::newRow("frame rate that is no number") << QByteArray("r\nd\nabc\no\n") << true << "r|d|0|o";
    QTest::newRow("three lines") << QByteArray("r\nd\n25\n") << false << "";
    QTest::newRow("empty damaged line") << QByteArray("r\n\n25\no\n") << false << "";
}

void TestVidmend::job_text()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(QString, fields);

    vidmend::Job job;
    std::string error;
    QCOMPARE(vidmend::parse_job_text(text.toStdString(), job, error), ok);
    if (ok)
        QCOMPARE(QString::fromStdString(job.reference + "|" + job.damaged + "|" + std::to_string(job.fps) + "|" +
                                        job.output),
                 fields);
    else
        QVERIFY(!error.empty());
}

QTEST_GUILESS_MAIN(TestVidmend)
#include "test_vidmend.moc"
