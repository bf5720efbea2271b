// Vidmend.exe on recordings made on the spot, cut or damaged: every complete sample comes back as the recording had it.
// Pieces a short recording would not exercise (boxes, picture order, the report gate) have tables of their own.

#include "audioframer.h"
#include "boxes.h"
#include "faults.h"
#include "fitcheck.h"
#include "h264.h"
#include "mediasync.h"
#include "pipes.h"
#include "reporter.h"
#include "testmedia.h"
#include "timestamps.h"

#include <QtTest>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

using mediasync::Packet;
using testmedia::Recording;

namespace {

// `value` in its last `bytes` big-endian bytes.
QByteArray big(quint64 value, int bytes)
{
    return QByteArray::fromHex(QByteArray::number(value, 16).rightJustified(2 * bytes, '0'));
}

// A recording's first bytes with the mdat size left as a killed writer leaves
// it ("zero", "preallocated", "large0" in the 64-bit form) or in the 64-bit form ("large"); empty when it cannot.
QByteArray mdat_form(QByteArray d, const QString& mdat)
{
    const qint64 at = d.indexOf("mdat") - 4;
    if (mdat == "zero" || mdat == "preallocated")
        d.replace(at, 4, big(0, 4));
    // A writer that reserves the file's space ahead leaves zeros after the last sample.
    if (mdat == "preallocated")
        d.append(QByteArray(1 << 20, 0));
    // The writer keeps an 8-byte free box ahead of the mdat for just this.
    if (mdat == "large" && d.mid(at - 4, 4) != "free")
        return {};
    if (mdat == "large" || mdat == "large0")
        d.replace(at - 8, 16,
                  big(1, 4) + "mdat" + big(mdat == "large0" ? 0 : qFromBigEndian<quint32>(d.constData() + at) + 8, 8));
    return d;
}

// A fast-start recording laid out as a phone's writer lays it out: its index
// written into space reserved for it at the head (`written` of it, the rest
// left zeros), then the media in a box of 64-bit size, 0 until the writer
// fills it in. `shift` gets how far the media moved.
QByteArray reserved(const QByteArray& faststart, double written, qint64& shift)
{
    const qint64 moov = faststart.indexOf("moov") - 4, mdat = faststart.indexOf("mdat") - 4;
    QByteArray index = faststart.mid(moov, qFromBigEndian<quint32>(faststart.constData() + moov));
    const qint64 room = index.size() + 4096;
    shift = faststart.indexOf("moov") - 4 + room + 16 - (mdat + 8);
    for (qint64 at = index.indexOf("stco"); at > 0; at = index.indexOf("stco", at + 4)) {
        for (quint32 i = 0, n = qFromBigEndian<quint32>(index.constData() + at + 8); i < n; ++i) {
            uchar* entry = reinterpret_cast<uchar*>(index.data() + at + 12 + 4 * i);
            qToBigEndian<quint32>(quint32(qFromBigEndian<quint32>(entry) + shift), entry);
        }
    }
    QByteArray space = index + big(room - index.size(), 4) + "free" + QByteArray(int(room - index.size() - 8), 0);
    space.replace(int(index.size() * written), space.size() - int(index.size() * written),
                  QByteArray(space.size() - int(index.size() * written), 0));
    if (written == 0)
        space.replace(0, 8, big(room, 4) + "free");
    return faststart.left(moov) + space + big(1, 4) + "mdat" + big(0, 8) + faststart.mid(mdat + 8);
}

QList<QList<Packet>> by_track(const QList<Packet>& packets)
{
    QList<QList<Packet>> tracks;
    for (const Packet& p : packets) {
        tracks.resize(qMax(tracks.size(), p.track + 1));
        tracks[p.track] << p;
    }
    return tracks;
}

// Damage as a bad sector or a flash card leaves it: `bytes` of random bytes
// (a fixed seed) or of zeros from each position. Returns the damaged byte ranges.
QList<QPair<qint64, qint64>> spoil(QByteArray& file, const QList<qint64>& at, int bytes, bool zeros)
{
    QRandomGenerator random(17);
    QList<QPair<qint64, qint64>> spots;
    for (qint64 from : at) {
        for (qint64 i = from; i < from + bytes && i < file.size(); ++i)
            file[i] = zeros ? 0 : char(random.bounded(256));
        spots << qMakePair(from, from + bytes);
    }
    return spots;
}

// The end of a file cut `fraction` in, moved to just after the second slice
// of the picture the cut falls in: a picture only partly written.
qint64 slice_boundary(const QString& original, double fraction)
{
    const QByteArray d = testmedia::read_file(original);
    const qint64 cut = qint64(double(d.size()) * fraction);
    for (const Packet& p : mediasync::read_packets(original)) {
        if (p.track != 0 || p.pos + p.size <= cut)
            continue;
        qint64 at = p.pos;
        for (int slices = 0; at < p.pos + p.size;) {
            const qint64 len = qFromBigEndian<quint32>(d.constData() + at);
            const int type = d[at + 4] & 0x1f;
            at += 4 + len;
            if ((type == 1 || type == 5) && ++slices == 2)
                return at < p.pos + p.size ? at : -1;
        }
    }
    return -1;
}

// Where the samples an index lists end in a file cut at `cut`: all of them for
// an index before the media; else up to the first fragment header the cut reaches.
qint64 listed_end(const QByteArray& file, qint64 cut)
{
    qint64 at = file.indexOf("moof");
    if (at < 0)
        return file.size();
    for (; at >= 0; at = file.indexOf("moof", at + 1)) {
        if (at - 4 + qFromBigEndian<quint32>(file.constData() + at - 4) > cut)
            return at - 4;
    }
    return file.lastIndexOf("mdat") - 4;
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

} // namespace

class TestVidmend : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_exe = QCoreApplication::applicationDirPath() + "/Vidmend.exe";
    faults::Disk m_disk; // over the output folder of a row

    QString at(const QString& name) const { return m_dir.filePath(name); }
    // A file of the current row's own.
    QString mine(const QString& name) const
    {
        return at(QString::number(qHash(QString(QTest::currentDataTag()))) + "-" + name);
    }

    testmedia::Ran run(const QStringList& args) { return testmedia::run(m_exe, args, 180000); }

    // A recording of `kind` (see damaged_data) in `path`: with `scene` 1, the reference.
    static bool record(const QString& kind, Recording settings, const QString& path, int seconds, int scene)
    {
        settings.scene = scene;
        // What the reference was recorded at instead: "in 30" frames a second, "in 48000" Hz.
        for (const QString& other : scene ? kind.section(" in ", 1).split(' ', Qt::SkipEmptyParts) : QStringList())
            if (other.size() > 3)
                settings.audio = {other + ":2"};
            else
                settings.rate = other;
        const QString writer = kind.section(" in ", 0, 0);
        const int rate = settings.audio.value(0, "48000").section(':', 0, 0).toInt();
        if (writer == "mp4mux" || writer == "qtmux")
            return !testmedia::make_gst_recording(path, seconds, writer, scene, writer == "mp4mux" ? 30 : 25,
                                                  writer == "mp4mux" ? 2 : 0, rate)
                        .isEmpty();
        if (writer == "qtmux 1 s")
            return !testmedia::make_gst_recording(path, seconds + 4, "qtmux", scene, 25, 0, 48000,
                                                  "interleave-time=1000000000")
                        .isEmpty();
        if (writer == "vfr" || writer.endsWith("audio"))
            return !testmedia::make_vfr_recording(path, scene ? 3 : 10, scene,
                                                  scene || writer == "vfr" ? 0
                                                  : writer == "long audio" ? 13
                                                                           : 6)
                        .isEmpty();
        if (writer == "calm reference" && scene)
            settings.video_params << "qp=40";
        if (!writer.endsWith(" first") && writer != "text" && (writer != "longer" || scene))
            return !testmedia::make_recording(path, seconds, settings).isEmpty();
        // One track begins 300 ms after the other, as an edit list says; a text track beside them; the sound
        // running on 0.6 s after the pictures stop.
        const QString plain = path + ".plain.mov", srt = path + ".srt";
        const bool sound = writer.startsWith("sound");
        const QStringList remux =
            writer == "text" ? QStringList{"-i", plain, "-i", srt, "-map", "0", "-map", "1", "-c:s", "mov_text"}
            : writer == "longer"
                ? QStringList{"-i",  plain,  "-t", QString::number(seconds - 0.6), "-i", plain, "-map",
                              "1:v", "-map", "0:a"}
                : QStringList{
                      "-itsoffset",         "0.3", "-i", plain, "-i", plain, "-map", sound ? "0:v" : "1:v", "-map",
                      sound ? "1:a" : "0:a"};
        return !testmedia::make_recording(plain, seconds, settings).isEmpty() &&
               testmedia::write_file(
                   srt, "1\n00:00:00,500 --> 00:00:02,000\nhi\n\n2\n00:00:02,500 --> 00:00:05,000\nyo\n") &&
               testmedia::ffmpeg(remux + QStringList{"-c:v", "copy", "-c:a", "copy", path});
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid() && QFileInfo(m_exe).isExecutable());
        // The inputs the refusals and the job file rows name, in the test's folder.
        Recording settings;
        QVERIFY(!testmedia::make_recording(at("original.mp4"), 8, settings).isEmpty());
        settings.scene = 1;
        QVERIFY(!testmedia::make_recording(at("ref.mp4"), 2, settings).isEmpty());
        settings.options = {"-c:a", "pcm_s16le"};
        QVERIFY(!testmedia::make_recording(at("pcm-ref.mov"), 2, settings).isEmpty());
        settings.options.clear();
        Recording larger = settings;
        larger.size = "640x480";
        QVERIFY(!testmedia::make_recording(at("largeref.mp4"), 2, larger).isEmpty());
        settings.codec = "hevc";
        QVERIFY(!testmedia::make_recording(at("hevc-ref.mp4"), 2, settings).isEmpty());
        // One cut short after its index, which lies before its media.
        QVERIFY(!testmedia::make_recording(at("faststart.mp4"), 4,
                                           {"h264", "25", 3, {"48000:2"}, {}, {"-movflags", "+faststart"}})
                     .isEmpty());
        QVERIFY(testmedia::ffmpeg({"-f", "lavfi", "-i", "sine=duration=1", "-c:a", "aac", at("audio.mp4")}));
        QVERIFY(testmedia::ffmpeg({"-f", "lavfi", "-i", "testsrc2=duration=1", "-f", "lavfi", "-i", "sine=duration=1",
                                   "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "ac3", at("ac3.mp4")}));
        QByteArray noise(8192, 0);
        QRandomGenerator(12).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        const QByteArray original = testmedia::read_file(at("original.mp4")), ref = testmedia::read_file(at("ref.mp4"));
        const QByteArray faststart = testmedia::read_file(at("faststart.mp4"));
        // Cut short; a cut inside the first box; a few samples with no index (a writer killed at once).
        for (const auto& [name, bytes] : {std::pair{"damaged.mp4", original.left(original.size() * 7 / 10)},
                                          {"indexed.mp4", faststart.left(faststart.size() * 7 / 10)},
                                          {"random.mp4", noise},
                                          {"zero.mp4", QByteArray()},
                                          {"head.mp4", original.left(40)},
                                          {"start.mp4", original.left(3000)},
                                          {"halfref.mp4", ref.left(ref.size() / 2)}})
            QVERIFY(testmedia::write_file(at(name), bytes));
    }

    // A recording cut short as a killed writer leaves it, with no index, an index before the media or fragments: every
    // sample wholly in what is left comes back exactly; an index's samples past the cut are counted as dropped.
    void repair_data()
    {
        QTest::addColumn<Recording>("settings"); // codec, rate, B-frames, AAC tracks, x264/x265 and output options
        // "F": F of the bytes, or "index": up to the index at the end, then the mdat size's form or "reference WxH",
        // then a kind of recording (see record()); "sample F" / "after F": in the middle / at the end of the sample at
        // F of them; "moof N": inside the Nth fragment header; "lost F": the last fragment header lost, F of the bytes;
        // "whole"
        QTest::addColumn<QString>("cut");
        const QStringList stereo48{"48000:2"}, mono441{"44100:1"}, two{"48000:2", "44100:1"};
        QTest::newRow("H.264, B-frames, 25 fps, stereo 48 kHz") << Recording{"h264", "25", 3, stereo48} << "0.61";
        QTest::newRow("H.264, 30000/1001 fps, mono 44.1 kHz, killed writer")
            << Recording{"h264", "30000/1001", 2, mono441} << "0.61 zero";
        QTest::newRow("HEVC, B-frames, stereo 48 kHz, 64-bit mdat size")
            << Recording{"hevc", "25", 3, stereo48} << "0.61 large";
        QTest::newRow("HEVC, 30000/1001 fps, mono 44.1 kHz, killed writer with the file preallocated")
            << Recording{"hevc", "30000/1001", 4, mono441} << "0.61 preallocated";
        QTest::newRow("two audio tracks, stereo and mono")
            << Recording{"h264", "25", 3, {"48000:2", "48000:1"}} << "0.61";
        QTest::newRow("HEVC video only") << Recording{"hevc", "30000/1001", 3, {}} << "0.61 large";
        QTest::newRow("H.264, four slices a picture, AUDs")
            << Recording{"h264", "25", 3, stereo48, {"slices=4", "aud=1"}} << "0.61";
        QTest::newRow("HEVC, three slices a picture, AUDs, parameter sets in the stream")
            << Recording{"hevc", "25", 3, stereo48, {"slices=3", "aud=1", "repeat-headers=1"}} << "0.61";
        QTest::newRow("reference and recording with a timecode track")
            << Recording{"h264", "25", 3, stereo48, {}, {"-timecode", "01:00:00:00"}} << "0.61";
        // Nothing lost at a clean end: the last sample of every track, and not a byte of another's.
        QTest::newRow("a text track, killed writer") << Recording{"h264", "25", 3, stereo48} << "index zero text";
        QTest::newRow("64-bit mdat size left at 0") << Recording{"h264", "25", 3, stereo48} << "index large0";
        QTest::newRow("IP camera: CAVLC, mono 16 kHz, killed writer")
            << Recording{"h264", "25", 0, {"16000:1"}, {"cabac=0"}} << "index zero";
        QTest::newRow("PCM s24le in .mov, the sound running on past the pictures, killed writer")
            << Recording{"h264", "25", 2, stereo48, {}, {"-c:a", "pcm_s24le"}} << "index zero longer";
        // Its own parameter sets in each key picture tell the recording's size.
        QTest::newRow("reference at another picture size, parameter sets in the stream")
            << Recording{"h264", "25", 3, stereo48, {"repeat-headers=1"}} << "0.61 reference 640x480";
        // Compact cameras and older dashcams: every picture a whole JPEG.
        QTest::newRow("Motion JPEG, PCM s16le in .mov")
            << Recording{"mjpeg", "25", 0, stereo48, {}, {"-c:a", "pcm_s16le"}} << "0.61";
        QTest::newRow("Motion JPEG, mu-law 8 kHz in .mov, killed writer")
            << Recording{"mjpeg", "30000/1001", 0, {"8000:1"}, {}, {"-c:a", "pcm_mulaw"}} << "0.61 zero";
        const QStringList faststart{"-movflags", "+faststart"}, fragments{"-movflags", "frag_keyframe+empty_moov"},
            half_seconds{"-movflags", "frag_keyframe+empty_moov+default_base_moof", "-frag_duration", "500000"},
            seconds{"-movflags", "frag_keyframe+empty_moov+default_base_moof", "-frag_duration", "1000000"},
            first_in_moov{"-movflags", "frag_keyframe", "-frag_duration", "500000"};
        const auto h264 = [&](const QStringList& options) { return Recording{"h264", "25", 3, stereo48, {}, options}; };
        QTest::newRow("fast start, cut inside a sample near the start") << h264(faststart) << "sample 0.2";
        QTest::newRow("fast start HEVC, two audio tracks, cut inside a sample")
            << Recording{"hevc", "30000/1001", 3, two, {}, faststart} << "sample 0.55";
        QTest::newRow("fast start, cut right after a sample") << h264(faststart) << "after 0.5";
        QTest::newRow("fast start, whole") << h264(faststart) << "whole";
        QTest::newRow("fragments, cut inside a sample of a fragment's media") << h264(fragments) << "sample 0.6";
        QTest::newRow("fragments, cut inside a fragment header") << h264(fragments) << "moof 3";
        QTest::newRow("fragments, the last header lost (left as free space), cut inside its media")
            << h264(fragments) << "lost 0.93";
        // Its last fragment holds a few frames of each track, one track after the other.
        QTest::newRow("one-second fragments, two alike audio tracks, the last header lost")
            << Recording{"h264", "25", 3, {"48000:1", "48000:1"}, {}, seconds} << "lost 1";
        QTest::newRow("half-second fragments based on their header, two audio tracks, cut inside a sample")
            << Recording{"h264", "25", 3, two, {}, half_seconds} << "sample 0.45";
        QTest::newRow("first fragment in the movie box, cut inside its media")
            << Recording{"h264", "25", 3, two, {}, first_in_moov} << "sample 0.03";
        QTest::newRow("fragments, whole") << h264(fragments) << "whole";
    }
    void repair()
    {
        QFETCH(Recording, settings);
        QFETCH(QString, cut);
        const int code = cut == "whole" ? 7 : 0; // a whole file needs no repair
        const bool fraction = cut[0].isDigit() || cut.startsWith("index");
        const QString variant = fraction ? cut.section(' ', 1) : QString();
        if (fraction)
            cut = cut.section(' ', 0, 0);
        const bool pcm = settings.options.contains("-c:a"), indexed = settings.options.contains("-movflags");
        const QString ext = pcm ? ".mov" : ".mp4";
        const QString original = mine("original" + ext);
        QVERIFY(record(variant.section(' ', 1, 1), settings, original, 8, settings.scene));
        QByteArray bytes = testmedia::read_file(original);
        // A writer that reserves space for a fragment's header and fills it in last.
        if (cut.startsWith("lost "))
            bytes.replace(bytes.lastIndexOf("moof"), 4, "free");
        const QList<QList<Packet>> where = by_track(mediasync::read_packets(original));
        qint64 end = bytes.size();
        if (cut.startsWith("sample ") || cut.startsWith("after ")) {
            const qint64 near = qint64(bytes.size() * cut.section(' ', 1).toDouble());
            const auto at =
                std::find_if(where[0].begin(), where[0].end(), [&](const Packet& p) { return p.pos >= near; });
            end = at == where[0].end() ? end : at->pos + (cut.startsWith("after ") ? at->size : at->size / 2);
        } else if (cut.startsWith("moof ")) {
            end = 0;
            for (int n = cut.section(' ', 1).toInt(); n > 0; --n)
                end = bytes.indexOf("moof", end + 1);
            end += 20;
        } else if (cut == "index") {
            end = bytes.lastIndexOf("moov") - 4;
        } else if (cut != "whole") {
            end = qint64(bytes.size() * cut.section(' ', -1).toDouble());
        }
        const QString damaged = mine("damaged" + ext), out = mine("repaired.mp4");
        QVERIFY(testmedia::write_file(damaged, mdat_form(bytes.left(end), variant.section(' ', 0, 0))));
        // The reference: another scene recorded the same way, as an ordinary file.
        settings.scene = 1;
        if (variant.startsWith("reference "))
            settings.size = variant.section(' ', 1);
        if (indexed)
            settings.options.clear();
        const QString ref = mine("reference" + ext);
        QVERIFY(record(variant.section(' ', 1, 1), settings, ref, 3, 1));
        const QByteArray inputs = testmedia::read_file(damaged) + testmedia::read_file(ref);

        const testmedia::Ran repaired = run({ref, damaged, out});
        QVERIFY2(repaired.code == code, qPrintable(repaired.out + repaired.err));
        QVERIFY(testmedia::read_file(damaged) + testmedia::read_file(ref) == inputs);
        QCOMPARE(QFile::exists(out), code == 0);
        if (code != 0)
            return;
        QVERIFY2(repaired.out.contains("done"), qPrintable(repaired.out));
        const QStringList tracks = testmedia::streams(original).filter(QRegularExpression(",(video|audio)$"));
        QCOMPARE(testmedia::streams(out), tracks);
        const QString errors = testmedia::decode_errors(out);
        QVERIFY2(errors.isEmpty(), qPrintable(errors));

        // Exactly the samples wholly in the cut file, in order.
        const QList<QStringList> whole = testmedia::packets(original, end);
        QList<QStringList> got = testmedia::packets(out);
        QCOMPARE(got.size(), tracks.size());
        const qint64 listed = listed_end(bytes, end);
        for (int s = 0; s < tracks.size(); ++s) {
            QVERIFY(!whole.value(s).isEmpty());
            // PCM keeps the part of a chunk that the cut left.
            if (s > 0 && pcm && got[s].size() == whole.value(s).size() + 1)
                got[s].removeLast();
            QCOMPARE(got[s], whole.value(s));
            if (!indexed)
                continue;
            const qsizetype dropped = std::count_if(where[s].begin(), where[s].end(), [&](const Packet& p) {
                return p.pos < listed && p.pos + p.size > end;
            });
            const QRegularExpression note(QString("track %1: (\\d+) of the (\\d+) samples").arg(s + 1));
            const QRegularExpressionMatch m = note.match(repaired.out);
            QCOMPARE(m.hasMatch() ? m.captured(1).toLongLong() : 0, qint64(dropped));
        }
        // The length is that of the pictures kept, not the whole recording's.
        const double rate = settings.rate == "25" ? 25 : 30000.0 / 1001;
        QVERIFY2(!indexed || qAbs(testmedia::duration(out) - got[0].size() / rate) < 0.25,
                 qPrintable(QString::number(testmedia::duration(out))));
    }

    // Recordings whose index lies at the head in space reserved for it, stopped as a power cut stops them: every
    // sample the file holds comes back as the whole recording has it, the index's and the rest walked.
    void layouts_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("from"); // where the pictures came from: "index", "walk" or both
        QTest::newRow("GStreamer qtmux rewriting its index every second, stopped between two rewrites")
            << "robust qtmux"
            << "index walk";
        QTest::newRow("GStreamer mp4mux rewriting its index every second, stopped") << "robust mp4mux"
                                                                                    << "index walk";
        QTest::newRow("index written into the space reserved for it, then the power cut") << "reserved 1"
                                                                                          << "index";
        QTest::newRow("index half written into that space") << "reserved 0.5"
                                                            << "walk";
        QTest::newRow("that space left empty, 64-bit mdat size of 0") << "reserved 0"
                                                                      << "walk";
    }
    void layouts()
    {
        QFETCH(QString, layout);
        const QString whole = mine("whole.mp4"), damaged = mine("damaged.mp4"), ref = mine("reference.mp4"),
                      out = mine("repaired.mp4");
        qint64 shift = 0; // where the damaged file holds what the whole one holds at 0
        if (layout.startsWith("robust")) {
            // The same recording twice, the second stopped after six seconds of pictures.
            const QString mux = layout.section(' ', 1);
            const QString reserve = "reserved-max-duration=60000000000 reserved-moov-update-period=1000000000";
            QVERIFY(!testmedia::make_gst_recording(whole, 8, mux, 0, 25, 0, 48000, reserve).isEmpty() &&
                    !testmedia::make_gst_recording(damaged, 8, mux, 0, 25, 0, 48000, reserve, 150).isEmpty() &&
                    !testmedia::make_gst_recording(ref, 3, mux, 1).isEmpty());
        } else {
            const Recording phone{"h264", "30", 0, {"48000:2"}, {}, {"-movflags", "+faststart"}};
            QVERIFY(record(QString(), phone, whole, 8, 0) && record(QString(), phone, ref, 3, 1));
            const QByteArray file = reserved(testmedia::read_file(whole), layout.section(' ', 1).toDouble(), shift);
            QVERIFY(testmedia::write_file(damaged, file.left(file.size() * 85 / 100)));
        }
        const testmedia::Ran repaired = run({ref, damaged, out});
        const qint64 size = QFileInfo(damaged).size();
        const mediasync::Sync sync = mediasync::measure(mediasync::read_packets(whole), mediasync::read_packets(out),
                                                        [&](const Packet& p) { return p.pos + shift + p.size > size; });
        QFETCH(QString, from);
        const QRegularExpressionMatch said =
            QRegularExpression("(\\d+) from the file's own index, (\\d+) walked").match(repaired.out);
        QVERIFY2(repaired.code == 0 && sync.kept == sync.complete && sync.complete.value(0) >= 140 && sync.p95 < 1e-3 &&
                     sync.end < 1e-3 && (said.captured(1).toInt() > 10) == from.contains("index") &&
                     (said.captured(2).toInt() > 10) == from.contains("walk"),
                 qPrintable(repaired.out + repaired.err));
    }

    // Recordings from other writers, with times hard to rebuild, damaged as users' files are: every complete sample
    // kept in its own track, each picture in step with the sound heard just before it (exactly, on a clean cut),
    // its frames as long as the recording's and no two decoded at one time.
    void damaged_data()
    {
        // How it is recorded: "ffmpeg"; "calm reference" (the reference of a plain picture); GStreamer's "mp4mux" (30
        // fps, B-frames), "qtmux", "qtmux 1 s" (one-second chunks); "sound first" / "pictures first" (300 ms ahead, an
        // edit list); a phone's variable rate, "vfr", "short audio" / "long audio" (its sound ending first / last);
        // then " in " what the reference was recorded at instead ("30" frames a second, "48000" Hz)
        QTest::addColumn<QString>("kind");
        QTest::addColumn<Recording>("settings");
        // Where the file is cut ("0.63" of it, "index": before its index; else 0.9), what the damage is, then where:
        // "random", "zeros"; "garbage": 100 KB of random bytes; "hole": a tenth of the file in zeros; "erased": a
        // twentieth in 0xff (erased flash; silence to mu-law); "deleted": 24 KB taken out; then fractions of the media
        // data, "head" the file's start, "key" just before the second key picture, "firstkey" inside the first.
        // Alone: a clean cut; "slices" a cut after a picture's second slice; "slice" sound that reads as a large slice.
        QTest::addColumn<QString>("damage");
        // "audio clock": the pictures laid out on the sound's clock; "worst S": seconds a picture may lie off its
        // sound (instead of a 95th percentile of 45 ms); "moved S": any sample off its true time, less what the
        // sound moved
        QTest::addColumn<QString>("expect");
        const Recording plain{"h264", "25", 3, {"48000:2"}};
        const Recording pcm{"h264", "25", 2, {"48000:2"}, {}, {"-c:a", "pcm_s16le"}},
            mulaw{"h264", "25", 2, {"8000:1"}, {}, {"-c:a", "pcm_mulaw"}},
            camera{"h264", "25", 0, {"16000:1"}, {"cabac=0"}}; // an IP camera's CAVLC slices
        const char* const rows[][3] = {
            {"random garbage in the middle, H.264", "ffmpeg", "random 0.2 0.45 0.7"},
            {"two audio tracks, garbage between their chunks", "ffmpeg two", "random 0.5"},
            // Errors that add up from spot to spot show here.
            {"two audio tracks at two rates, twenty runs of zeros", "ffmpeg two rates",
             "zeros 0.03 0.08 0.13 0.18 0.23 0.28 0.33 0.38 0.43 0.48 0.53 0.58 0.63 0.68 0.73 0.78 0.83 0.88 0.93 "
             "0.95"},
            {"GStreamer mp4mux, garbage", "mp4mux", "random 0.3 0.6"},
            {"GStreamer qtmux, garbage", "qtmux", "random 0.25 0.55"},
            // A card that lost its first sectors: the file type and the media box header are gone.
            {"the first 64 KB zeroed", "ffmpeg", "head head"},
            {"garbage inside the first key picture", "ffmpeg", "random firstkey"},
            {"one-second sound chunks, the first 64 KB zeroed", "qtmux 1 s", "head head"},
            {"one-second sound chunks, a hole", "qtmux 1 s", "hole 0.5"},
            {"one-second sound chunks, 24 KB deleted", "qtmux 1 s", "deleted 0.35"},
            {"sound 300 ms before the pictures, the first 64 KB zeroed", "sound first", "head head"},
            {"pictures 300 ms before the sound, the first 64 KB zeroed", "pictures first", "head head"},
            {"pictures 300 ms before the sound, a hole", "pictures first", "hole 0.5"},
            {"IP camera, the first 64 KB zeroed", "camera", "head head"},
            {"IP camera, a hole", "camera", "hole 0.4"},
            {"IP camera, 24 KB deleted", "camera", "deleted 0.5"},
            {"reference of a calm scene, recording of a busy one", "calm reference", ""},
        };
        for (const auto& [name, kind, damage] : rows) {
            Recording r = QString(kind).startsWith("camera") ? camera : plain;
            if (QString(kind).endsWith("two"))
                r.audio = {"48000:2", "48000:1"};
            if (QString(kind).endsWith("rates"))
                r.audio = {"48000:2", "44100:1"};
            QTest::newRow(name) << QString(kind).section(' ', 0, QString(kind).startsWith("ffmpeg") ? 0 : -1) << r
                                << QString(damage) << QString();
        }
        QTest::newRow("runs of zeros, HEVC") << "ffmpeg" << Recording{"hevc", "25", 3, {"48000:2"}} << "zeros 0.3 0.6"
                                             << "";
        // PCM takes any bytes for sound: a hole or a gap where bytes went
        // missing must not become seconds of noise that stretch the video.
        for (const auto& [name, settings] : {std::pair{"PCM s16le in .mov", pcm}, {"G.711 mu-law in .mov", mulaw}}) {
            for (const QString damage : {"", "hole 0.4", "deleted 0.5", "random 0.3 0.6", "erased 0.3 0.6"})
                QTest::newRow(qPrintable(QString("%1, %2").arg(name, damage.isEmpty() ? "cut" : damage)))
                    << "ffmpeg" << settings << damage << "";
        }
        QTest::newRow("PCM s24be in .mov")
            << "ffmpeg" << Recording{"h264", "25", 2, {"44100:2"}, {}, {"-c:a", "pcm_s24be"}} << ""
            << "";
        QTest::newRow("PCM s16le in .mov, sound that reads as a large slice") << "ffmpeg" << pcm << "slice"
                                                                              << "";
        // Motion JPEG: garbage inside a picture breaks its markers; the next start marker resynchronises.
        QTest::newRow("Motion JPEG, PCM s16le in .mov, garbage")
            << "ffmpeg" << Recording{"mjpeg", "25", 0, {"48000:2"}, {}, {"-c:a", "pcm_s16le"}} << "random 0.3 0.6"
            << "";
        QTest::newRow("Motion JPEG, mu-law in .mov, a hole of zeros")
            << "ffmpeg" << Recording{"mjpeg", "25", 0, {"8000:1"}, {}, {"-c:a", "pcm_mulaw"}} << "hole 0.4"
            << "";
        // Key pictures far larger than the others, to be believed after damage.
        QTest::newRow("garbage just before a large key picture")
            << "ffmpeg" << Recording{"h264", "25", 3, {"48000:2"}, {"ipratio=30", "qp=38"}} << "random key"
            << "";
        QTest::newRow("four slices a picture, cut after a picture's second slice")
            << "ffmpeg" << Recording{"h264", "25", 3, {"48000:2"}, {"slices=4"}} << "slices"
            << "";
        // Recordings whose times are hard to rebuild: a phone's variable rate, other rates than the reference's.
        const QHash<QString, Recording> as{
            {"plain", plain},
            {"44.1", {"h264", "25", 3, {"44100:2"}}},
            {"44.1 PCM", {"h264", "25", 3, {"44100:2"}, {}, {"-c:a", "pcm_s16le"}}},
            {"24", {"h264", "25", 3, {"24000:2"}}},
            {"refresh", {"h264", "25", 0, {"48000:2"}, {"intra-refresh=1", "keyint=30"}, {"-b:v", "5M"}, "640x360"}}};
        const char* const times[][5] = {
            {"GStreamer mp4mux, 30 fps with B-frames, cut", "mp4mux", "plain", "0.63", ""},
            {"phone-like variable frame rate, cut", "vfr", "plain", "0.63", "audio clock worst 0.045"},
            // Sound placed across damage by its bytes may be a frame or two out: the pictures follow it.
            {"variable frame rate, garbage in the last second", "vfr", "plain", "0.95 random 0.95",
             "audio clock worst 0.045 moved 0.15"},
            {"variable frame rate, the sound ends before the pictures", "short audio", "plain", "0.95",
             "audio clock worst 0.045 moved 0.045"},
            {"variable frame rate, the pictures end before the sound", "long audio", "plain", "index",
             "audio clock worst 0.045 moved 0.045"},
            {"recorded at 25 fps, reference made at 30 fps", "ffmpeg in 30", "plain", "0.63",
             "audio clock worst 0.02 moved 0.02"},
            {"intra refresh, no key picture after the first, 1 MB hole", "ffmpeg", "refresh", "0.95 hole 0.5",
             "worst 0 moved 0"},
            // AAC frames at these rates decode alike and carry no rate: only the
            // sound's clock against the pictures tells the recording's.
            {"sound at 44.1 kHz, reference at 48 kHz", "ffmpeg in 48000", "44.1", "0.63", "worst 0 moved 0"},
            // Across damage the sound's place is estimated from the bytes: a reference at its rate does no better.
            {"sound at 44.1 kHz, reference at 48 kHz, garbage in the middle", "ffmpeg in 48000", "44.1",
             "0.63 garbage 0.5", "worst 0.2 moved 0.2"},
            {"sound at 44.1 kHz, reference at 48 kHz, a second kept", "ffmpeg in 48000", "44.1", "0.12",
             "worst 0 moved 0"},
            {"GStreamer mp4mux, sound at 44.1 kHz, reference at 48 kHz", "mp4mux in 48000", "44.1", "0.63",
             "worst 0 moved 0"},
            {"PCM at 44.1 kHz, reference at 48 kHz", "ffmpeg in 48000", "44.1 PCM", "0.63", "worst 0 moved 0"},
            {"25 fps and 44.1 kHz, reference at 30 fps and 48 kHz", "ffmpeg in 30 48000", "44.1", "0.63",
             "audio clock worst 0.02 moved 0.02"},
            {"sound at 24 kHz, reference at 22.05 kHz, garbage in the last second", "ffmpeg in 22050", "24",
             "0.95 random 0.95", "worst 0 moved 0"},
        };
        for (const auto& [name, kind, settings, damage, expect] : times)
            QTest::newRow(name) << QString(kind) << as[settings] << QString(damage) << QString(expect);
    }
    void damaged()
    {
        QFETCH(QString, kind);
        QFETCH(Recording, settings);
        QFETCH(QString, damage);
        QFETCH(QString, expect);
        const QString keep = damage[0].isDigit() || damage.startsWith("index") ? damage.section(' ', 0, 0) : "0.9";
        if (keep == damage.section(' ', 0, 0))
            damage = damage.section(' ', 1);
        const QString filler = damage.section(' ', 0, 0), spots = damage.section(' ', 1);
        const auto expected = [&](const QString& what) { return expect.section(what + " ", 1, 1).section(' ', 0, 0); };
        const bool pcm = settings.options.contains("-c:a");
        const QString ext = pcm || kind.startsWith("qtmux") ? ".mov" : ".mp4";
        const QString original = mine("original" + ext), ref = mine("reference" + ext);
        QVERIFY(record(kind, settings, original, 8, 0) && record(kind, settings, ref, 3, 1));
        QByteArray bytes = testmedia::read_file(original);
        bytes.truncate(filler == "slices" ? slice_boundary(original, 0.63)
                       : keep == "index"  ? bytes.lastIndexOf("moov") - 4
                                          : qint64(double(bytes.size()) * keep.toDouble()));
        QVERIFY(bytes.size() > 0);
        const QList<Packet> truth = mediasync::read_packets(original);
        const auto key = [&](int n) {
            return *std::find_if(truth.begin(), truth.end(),
                                 [&](const Packet& p) { return p.key && !p.track && !n--; });
        };
        QList<qint64> starts;
        const qint64 mdat = bytes.indexOf("mdat") + 12;
        for (const QString& f : spots.split(' ', Qt::SkipEmptyParts))
            starts << (f == "key"        ? key(1).pos - 4096
                       : f == "firstkey" ? key(0).pos + key(0).size / 2 - 2048
                       : f == "head"     ? 0
                                         : mdat + qint64(double(bytes.size() - mdat) * f.toDouble()));
        const qint64 deleted = filler == "deleted" ? 24 << 10 : 0;
        QList<QPair<qint64, qint64>> damaged_ranges;
        if (filler == "slice") {
            // Sound at the start of a run (right after a picture) that reads as
            // a slice header running on over 200 KB of the following pictures.
            const auto follows_video = [&](int i) { return i > 0 && truth[i - 1].track == 0; };
            int run = 1, target = 1, header = 1;
            while (run < truth.size() &&
                   (truth[run].track == 0 || truth[run].pos < bytes.size() / 3 || !follows_video(run)))
                ++run;
            while (header < truth.size() && (truth[header].track != 0 || truth[header].key || truth[header].size < 64))
                ++header;
            // A unit ends in a byte that is not zero.
            while (target < truth.size() && (truth[target].track != 0 || truth[target].pos < truth[run].pos + 200000 ||
                                             bytes[truth[target].pos - 1] == 0))
                ++target;
            QVERIFY(target < truth.size() && truth[target].pos < bytes.size());
            const QByteArray slice =
                big(truth[target].pos - truth[run].pos - 4, 4) + bytes.mid(truth[header].pos + 4, 60);
            bytes.replace(truth[run].pos, slice.size(), slice);
            starts << truth[run].pos;
            damaged_ranges << qMakePair(truth[run].pos, truth[run].pos + slice.size());
        } else if (deleted) {
            for (qint64 from : starts) {
                bytes.remove(from, deleted);
                damaged_ranges << qMakePair(from, from + deleted);
            }
        } else {
            const int spoilt = filler == "hole"      ? int(bytes.size() / 10)
                               : filler == "erased"  ? int(bytes.size() / 20)
                               : filler == "garbage" ? 100000
                               : filler == "head"    ? 64 << 10
                                                     : 4096;
            damaged_ranges = spoil(bytes, starts, spoilt, filler != "random" && filler != "garbage");
            if (filler == "erased")
                for (const auto& [from, to] : damaged_ranges)
                    bytes.replace(from, to - from, QByteArray(to - from, char(0xff)));
        }
        const QString damaged = mine("damaged" + ext), out = mine("repaired.mp4");
        QVERIFY(testmedia::write_file(damaged, bytes));

        const testmedia::Ran repaired = run({ref, damaged, out});
        QVERIFY2(repaired.code == 0, qPrintable(repaired.out + repaired.err));
        // Each spot is found (but for one in ten, wholly inside a picture that still
        // parses; noise in PCM is sound), and a clean cut has none.
        const QRegularExpressionMatch found = QRegularExpression("damage: (\\d+) damaged spots").match(repaired.out);
        const int spotted = found.hasMatch() ? found.captured(1).toInt() : 0;
        if (!pcm || starts.isEmpty())
            QVERIFY2(spotted <= starts.size() &&
                         spotted >= starts.size() - starts.size() / 10 - spots.contains("firstkey"),
                     qPrintable(QString("%1 damaged spots found").arg(spotted)));
        QVERIFY2(repaired.out.contains(expect.contains("audio clock") ? "on the audio's clock"
                                                                      : "on the reference's frame rate"),
                 qPrintable(repaired.out));
        // AAC frames at rates that decode alike carry no rate: the sound's clock tells the recording's.
        const QString rate = settings.audio.value(0).section(':', 0, 0);
        if (kind.section(" in ", 1).contains(QRegularExpression("\\d{4}")))
            QVERIFY2(testmedia::probed(out, "stream=sample_rate", "a") == QStringList{rate} &&
                         repaired.out.contains("recorded at " + rate + " Hz"),
                     qPrintable(repaired.out));

        const QList<Packet> got = mediasync::read_packets(out);
        // Of a hole PCM takes up again no more than a run between two pictures holds, at each spot.
        qint64 run = 0, longest = 0, holes = 0;
        for (const Packet& p : truth)
            longest = std::max(longest, run = p.track ? run + p.size : 0);
        for (const auto& [from, to] : damaged_ranges)
            holes += to - from;
        const qint64 skipped = QRegularExpression("(\\d+) bytes skipped").match(repaired.out).captured(1).toLongLong();
        QVERIFY2(!pcm || (filler != "erased" && filler != "hole") || holes - skipped <= starts.size() * longest,
                 qPrintable(QString("%1 of %2 bytes of damage taken for sound").arg(holes - skipped).arg(holes)));
        const auto hit = [&](const Packet& p) {
            for (const auto& [from, to] : damaged_ranges)
                if (p.pos < to && p.pos + p.size > from)
                    return true;
            return p.pos + p.size > bytes.size() + deleted * starts.size();
        };
        const mediasync::Sync sync = mediasync::measure(truth, got, hit);
        QHash<size_t, QSet<int>> tracks_of; // silence may repeat a frame in several tracks
        for (const Packet& p : truth)
            tracks_of[p.hash] << p.track;
        // Only samples the damage went through may be kept that the recording never had (and the part of a PCM
        // chunk that the cut left); PCM cut by damage comes back cut into other packets.
        int strangers = 0;
        for (const Packet& p : got) {
            QVERIFY2(!tracks_of.contains(p.hash) || tracks_of[p.hash].contains(p.track),
                     "a sample in another track's place");
            strangers += !tracks_of.contains(p.hash) && !p.uniform && !(pcm && p.track > 0 && !starts.isEmpty());
        }
        QVERIFY2(strangers <= starts.size() * 2 + (pcm ? 1 : 0),
                 qPrintable(QString("%1 strange samples").arg(strangers)));
        // A key picture lost takes its whole group of pictures with it.
        QSet<qint64> kept;
        for (const auto& [p, k] : sync.pairs)
            kept << p->pos;
        for (const Packet& p : truth)
            QVERIFY2(p.track || !p.key || hit(p) || kept.contains(p.pos),
                     qPrintable(QString("key picture at %1 s lost").arg(p.start)));
        for (int t = 0; t < sync.kept.size(); ++t)
            QVERIFY2(sync.complete[t] > 0 && sync.kept[t] * 100 >= sync.complete[t] * (starts.isEmpty() ? 100 : 98),
                     qPrintable(QString("track %1: %2 of %3").arg(t).arg(sync.kept[t]).arg(sync.complete[t])));
        // Lips against voice all along the file, and where the sound ends.
        const double worst = expected("worst").isEmpty() ? -1 : expected("worst").toDouble(),
                     moved = expected("moved").toDouble(), spoilt = !starts.isEmpty() || worst > 0;
        double furthest = 0;
        for (double offset : sync.offsets)
            furthest = std::max(furthest, std::fabs(offset));
        QVERIFY2(sync.median <= 0.02 * spoilt + 1e-3 &&
                     (worst < 0 ? sync.p95 <= 0.045 * spoilt + 1e-3 : furthest <= worst + 1e-3) &&
                     sync.end <= std::max({0.045, 1.5 * worst, moved}),
                 qPrintable(QString("pictures against their sound: median %1 s, p95 %2 s, worst %3 s; the sound ends "
                                    "%4 s off")
                                .arg(sync.median)
                                .arg(sync.p95)
                                .arg(furthest)
                                .arg(sync.end)));
        // Each sample at its true time, less what the sound moved as a whole.
        QList<double> sound;
        for (const auto& [p, k] : sync.pairs)
            if (p->track == 1)
                sound << k->start - p->start;
        for (const auto& [p, k] : sync.pairs)
            QVERIFY2(expected("moved").isEmpty() || qAbs(k->start - p->start - median(sound)) <= moved + 1e-3,
                     qPrintable(QString("track %1: %2 s off at %3 s")
                                    .arg(p->track)
                                    .arg(k->start - p->start - median(sound))
                                    .arg(p->start)));
        // Frames as long as the recording's own (its pictures' mean spacing), the last one too, decoded one by one.
        QList<double> steps;
        const QList<QList<Packet>> pictures = by_track(got), recorded = by_track(truth);
        for (qsizetype k = 1; k < pictures[0].size(); ++k) {
            steps << pictures[0][k].decode - pictures[0][k - 1].decode;
            QVERIFY2(steps.last() > 0 && pictures[0][k].start >= pictures[0][k].decode,
                     qPrintable(QString("picture %1 decoded with the one before").arg(k)));
        }
        const auto [earliest, latest] = std::minmax_element(
            recorded[0].begin(), recorded[0].end(), [](const Packet& a, const Packet& b) { return a.start < b.start; });
        const double own = (latest->start - earliest->start) / double(recorded[0].size() - 1);
        QVERIFY2(qAbs(median(steps) - own) <= 0.001 && pictures[0].last().duration <= 1.5 * median(steps),
                 qPrintable(QString("frames %1 s long, the last %2 s, recorded %3 s")
                                .arg(median(steps))
                                .arg(pictures[0].last().duration)
                                .arg(own)));
        // As long as what was kept of the recording played.
        double from = 1e9, to = -1e9;
        for (const auto& [p, k] : sync.pairs)
            from = std::min(from, p->start), to = std::max(to, p->end);
        const double length = testmedia::duration(out), truth_length = to - std::max(from, 0.0);
        QVERIFY2(std::fabs(length - truth_length) <= 0.02 * truth_length + 0.1,
                 qPrintable(QString("%1 s long, %2 s recorded").arg(length).arg(truth_length)));
    }

    // A voice recorder's recording, sound alone: every complete frame back at its own time, or for PCM the whole
    // sound; what damage took stays a gap.
    void sound_only_data()
    {
        QTest::addColumn<QString>(
            "codec"); // then "garbage": 4 KB of random bytes in the middle, "hole": 64 KB of zeros
        QTest::newRow("AAC in .m4a, garbage in the middle") << "aac garbage";
        QTest::newRow("AAC in .m4a, a hole") << "aac hole";
        QTest::newRow("PCM s16le in .mov, cut") << "pcm_s16le";
    }
    void sound_only()
    {
        QFETCH(QString, codec);
        const QString damage = codec.section(' ', 1);
        codec = codec.section(' ', 0, 0);
        const QString ext = codec == "aac" ? ".m4a" : ".mov";
        const QString original = mine("sound" + ext), ref = mine("sound-ref" + ext);
        const auto record = [&](const QString& path, int seconds, int tone) {
            return testmedia::ffmpeg({"-f", "lavfi", "-i",
                                      QString("sine=frequency=%1:duration=%2:sample_rate=44100").arg(tone).arg(seconds),
                                      "-ac", "1", "-c:a", codec, path});
        };
        QVERIFY(record(original, damage == "hole" ? 30 : 10, 330) && record(ref, 3, 370));
        QByteArray bytes = testmedia::read_file(original);
        bytes.truncate(bytes.size() * 6 / 10);
        const qint64 spot = bytes.size() / 2, spoilt = damage == "hole" ? 64 << 10 : 4096;
        if (!damage.isEmpty())
            spoil(bytes, {spot}, int(spoilt), damage == "hole");
        const QString damaged = mine("sound-damaged" + ext), out = mine("sound-repaired.mp4");
        QVERIFY(testmedia::write_file(damaged, bytes));
        const testmedia::Ran repaired = run({ref, damaged, out});
        QVERIFY2(repaired.code == 0, qPrintable(repaired.out + repaired.err));
        QCOMPARE(testmedia::streams(out), QStringList{codec + ",audio"});
        const QString errors = testmedia::decode_errors(out);
        QVERIFY2(errors.isEmpty(), qPrintable(errors));
        if (codec != "aac") {
            const double seconds = double(bytes.size() - bytes.indexOf("mdat") - 4) / (2 * 44100);
            QVERIFY2(std::fabs(testmedia::duration(out) - seconds) < 0.05, qPrintable(repaired.out));
            return;
        }
        // Each complete frame back with its bytes, in order and within a frame of its own time.
        const mediasync::Sync sync =
            mediasync::measure(mediasync::read_packets(original), mediasync::read_packets(out), [&](const Packet& p) {
                return p.pos + p.size > bytes.size() || (p.pos < spot + spoilt && p.pos + p.size > spot);
            });
        QVERIFY2(sync.complete[0] > 100 && sync.kept[0] == sync.complete[0],
                 qPrintable(QString("%1 of %2").arg(sync.kept[0]).arg(sync.complete[0])));
        for (const auto& [p, k] : sync.pairs)
            QVERIFY2(std::fabs(k->start - p->start) <= p->duration * 1.01,
                     qPrintable(QString("the frame at %1 s is at %2 s").arg(p->start).arg(k->start)));
    }

    // The engine from a job file (reports over the pipe) and from a command
    // line, also on inputs it cannot use: exit code, last state word, message.
    void runs_data()
    {
        QTest::addColumn<QString>("input"); // the job file's text (%ref, %damaged, %out), or a command line
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("word");    // the last report's state word; with code 10 the window stops there
        QTest::addColumn<QString>("message"); // in the standard error
        // How far it got: a file that cannot be read ends at 0, not at a bar that looks full.
        QTest::addColumn<QString>("reached"); // percent, or "from-to"
        const char *const job = "%ref\n%damaged\n25\n%out\n", *const incomplete = "修复失败:任务文件不完整或文件重复",
                          *const unreadable = "修复失败:无法读取文件或参考视频不完整",
                          *const not_mp4 = "修复失败:损坏视频不是MP4文件",
                          *const none = "修复失败:没有找到可以恢复的画面",
                          *const unwritable = "修复失败:无法写入修复后的文件";
        const char* const rows[][6] = {
            // name, input, exit code, state word, message, percent the last report reached ("": not checked)
            {"LF line ends", job, "0", "done", "", "100"},
            {"window closed while rebuilding", job, "10", "rebuilding", "", ""},
            {"window closed while writing", job, "10", "writing", "", ""},
            {"window closed while a file cut after its index is rebuilt", "%ref\n%indexed\n25\n%out\n", "10", "writing",
             "", ""},
            {"three lines", "%ref\n%damaged\n25\n", "1", incomplete, "", "0"},
            {"no job file", "", "1", incomplete, "", "0"},
            {"two arguments", "ref.mp4 damaged.mp4", "1", "", "usage", "0"},
            {"output over the damaged file", "ref.mp4 damaged.mp4 damaged.mp4", "1", incomplete, "three different",
             "0"},
            {"damaged file missing", "ref.mp4 none.mp4 out.mp4", "2", unreadable, "No such file", "0"},
            {"reference without video", "audio.mp4 damaged.mp4 out.mp4", "3", "修复失败:参考视频没有画面",
             "no video track", "0"},
            {"damaged file of random bytes", "ref.mp4 random.mp4 out.mp4", "4", not_mp4, "is not an MP4", "0"},
            {"zero-length damaged file", "ref.mp4 zero.mp4 out.mp4", "4", not_mp4, "is not an MP4", "0"},
            {"damaged file cut inside its first box", "ref.mp4 head.mp4 out.mp4", "4", not_mp4, "no media data", "0"},
            {"damaged file cut after a few samples", "ref.mp4 start.mp4 out.mp4", "8", none, "nothing to recover",
             "60"},
            {"zero-length reference", "zero.mp4 damaged.mp4 out.mp4", "2", unreadable, "cannot open the reference",
             "0"},
            {"truncated reference", "halfref.mp4 damaged.mp4 out.mp4", "2", unreadable, "no index", "0"},
            {"random reference", "random.mp4 damaged.mp4 out.mp4", "2", unreadable, "cannot open the reference", "0"},
            {"reference with AC-3 audio", "ac3.mp4 damaged.mp4 out.mp4", "5", "修复失败:不支持该视频或音频编码", "ac3",
             "0"},
            {"inputs swapped", "damaged.mp4 ref.mp4 out.mp4", "6", "修复失败:两个文件似乎放反了", "look swapped", "0"},
            {"damaged file is whole", "ref.mp4 original.mp4 out.mp4", "7", "无需修复:损坏视频是完整的",
             "nothing to repair", "0"},
            {"reference of another codec", "hevc-ref.mp4 damaged.mp4 out.mp4", "8", none, "does not match", "60"},
            {"output folder missing", "ref.mp4 damaged.mp4 none/out.mp4", "9", unwritable, "cannot create", "60"},
            {"disk full while writing", "ref.mp4 damaged.mp4 small/out.mp4", "9", unwritable, "No space left", "60-99"},
            {"reference at another picture size", "largeref.mp4 damaged.mp4 out.mp4", "12",
             "修复失败:参考视频与损坏视频的设置不同", "do not decode with the reference's video settings (640x480)",
             "60"},
            {"AAC recording, PCM reference", "pcm-ref.mov damaged.mp4 out.mp4", "11",
             "修复失败:声音与参考视频的编码不同", "is not the reference's (pcm_s16le, stereo)", "60"},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QString(r[1]) << atoi(r[2]) << QString(r[3]) << QString(r[4]) << QString(r[5]);
    }
    void runs()
    {
        QFETCH(QString, input);
        const QString how = input.isEmpty() || input.contains('%') ? "job" : "args";
        QFETCH(int, code);
        QFETCH(QString, word);
        QFETCH(QString, message);
        QFETCH(QString, reached);
        // A disk that fills up once the output is begun.
        const QString last = input.section(' ', -1);
        if (last.startsWith("small/")) {
            QVERIFY(QDir().mkpath(at("small")));
            if (!m_disk.mount(at("small"), "size=64k"))
                QSKIP("mounting a small disk is not allowed here");
        }
        const auto unmount = qScopeGuard([this] { m_disk.unmount(); });
        const QString out = at(how == "job" ? "修复 结果_zo_fixed.mp4" : last.endsWith("out.mp4") ? last : "out.mp4");
        QFile::remove(out);
        const QString job = testenv::shared_temp(protocol::job_file);
        QFile::remove(job);
        QStringList args;
        for (const QString& arg : how == "args" ? input.split(' ') : QStringList())
            args << at(arg);
        input.replace("%ref", at("ref.mp4")).replace("%damaged", at("damaged.mp4")).replace("%out", out);
        input.replace("%indexed", at("indexed.mp4"));
        QVERIFY(how == "args" || input.isEmpty() || testmedia::write_file(job, input.toUtf8()));
        // The window's side of the pipe stops the repair at the row's step; a write
        // once begun: its first report answered late, the engine reports from inside it.
        pipes::Inbox window;
        int seen = 0;
        window.reply = [&](const QByteArray& report) -> std::string {
            if (code != 10 || QString(report.constData()).section(' ', 3, 3) != word)
                return "";
            if (++seen == 1 && word == "writing")
                QThread::msleep(400);
            return seen == (word == "writing" ? 2 : 1) ? "pro_end" : "";
        };
        const auto pipe = window.serve(protocol::pipe_name);
        const auto within = [&](int percent) {
            return reached.isEmpty() ||
                   (percent >= reached.section('-', 0, 0).toInt() && percent <= reached.section('-', -1).toInt());
        };
        const faults::Files before = faults::files({m_dir.path()});

        const testmedia::Ran ran = run(args);
        QCOMPARE(ran.code, code);
        QVERIFY2(ran.err.contains(message), qPrintable(ran.err));
        // Only a repair that succeeded reaches its total: the window then shows the output.
        if (how == "args") {
            const QString last = ran.out.trimmed().section('\n', -1);
            QVERIFY2(word.isEmpty() || (last.endsWith(" " + word) && last.startsWith("100%") == (code == 0)),
                     qPrintable(ran.out));
            QVERIFY2(word.isEmpty() || within(last.section('%', 0, 0).trimmed().toInt()), qPrintable(ran.out));
        } else {
            QVERIFY(!window.got.isEmpty());
            int previous = 0;
            for (const QByteArray& report : window.got) {
                char name[64] = {}, state[64] = {};
                int pro = -1, total = -1;
                QCOMPARE(std::sscanf(report.constData(), "%63s %d %d %63s", name, &pro, &total, state), 4);
                QVERIFY2(pro >= previous && pro <= total, report.constData());
                previous = pro;
            }
            const QStringList fields = QString(window.got.last().constData()).split(' ');
            QCOMPARE(fields.value(3), word);
            QCOMPARE(fields.value(1) == fields.value(2), code == 0);
            QVERIFY2(within(fields.value(1).toInt() / 10), window.got.last().constData());
        }
        QCOMPARE(QFile::exists(out), code == 0);
        QVERIFY(!QFile::exists(out + ".part"));
        QCOMPARE(faults::touched(before, {out}), QStringList());
    }

    // The reference's settings fit a recording whose first samples are spoilt, and
    // not one whose key pictures all are.
    void fit_data()
    {
        QTest::addColumn<QString>(
            "spoilt"); // "sound": the first sound frame; "key": the first key picture; "keys": all
        QTest::addColumn<bool>("fits");
        QTest::newRow("a sound frame tried spoilt") << "sound" << true;
        QTest::newRow("the first key picture spoilt") << "key" << true;
        QTest::newRow("every key picture spoilt") << "keys" << false;
    }
    void fit()
    {
        QFETCH(QString, spoilt);
        QFETCH(bool, fits);
        vidmend::Reference ref;
        std::string error;
        QCOMPARE(vidmend::read_reference(at("ref.mp4").toStdString(), ref, error), vidmend::ReferenceStatus::Ok);
        QByteArray bytes = testmedia::read_file(at("damaged.mp4"));
        const auto data = reinterpret_cast<const uint8_t*>(bytes.constData());
        vidmend::Walker walker(ref, data);
        const vidmend::WalkResult walk = walker.walk(vidmend::scan_boxes(data, uint64_t(bytes.size())).media, {});
        bool first = true;
        for (const vidmend::Sample& s : walk.samples) {
            const bool sound = int(s.track) != ref.video;
            if (first && (sound ? spoilt == "sound" : s.key && spoilt != "sound")) {
                bytes.replace(qsizetype(s.pos + s.size / 4), qsizetype(s.size / 2),
                              QByteArray(qsizetype(s.size / 2), char(0xff)));
                first = spoilt == "keys";
            }
        }
        QCOMPARE(vidmend::check_fit(ref, walk.samples, reinterpret_cast<const uint8_t*>(bytes.constData())).ok, fits);
    }

    // A writer that lags its sound further behind the pictures at a few places
    // (a chunk written late) moves them apart there, not evenly along the file:
    // no other frame rate, the pictures stay on the reference's.
    void interleave_lag()
    {
        vidmend::Reference ref;
        ref.tracks.resize(2);
        ref.video = 0;
        ref.audio = {1};
        vidmend::RefTrack &video = ref.tracks[0], &sound = ref.tracks[1];
        video.kind = vidmend::TrackKind::Video, sound.kind = vidmend::TrackKind::Audio;
        video.time_base = {1, 12800}, sound.time_base = {1, 48000};
        video.step = 512, sound.step = sound.frame_samples = 1024, sound.sample_rate = 48000;
        sound.par.reset(avcodec_parameters_alloc());
        sound.par->codec_id = AV_CODEC_ID_AAC;
        // In file order: pictures 40 ms apart, each sound frame after those recorded with it, `lag(t)` late.
        const auto lay = [](int frames, double (*lag)(double)) {
            std::vector<std::pair<double, int>> order;
            for (int k = 0; k < frames; ++k)
                order.emplace_back(k * 0.04, k);
            for (int f = 0; f < frames * 15 / 8; ++f)
                order.emplace_back(f * 1024 / 48000.0 + lag(f * 1024 / 48000.0) + 1e-6, -1 - f);
            std::sort(order.begin(), order.end());
            return order;
        };
        for (const auto& [at, n] : lay(100, [](double) { return 0.0; }))
            ref.layout.push_back({int64_t(ref.layout.size()), n < 0, n < 0 ? -1024ll * (n + 1) : 512ll * n, 100});
        std::vector<vidmend::Sample> samples;
        for (const auto& [at, n] : lay(500, [](double t) { return 0.3 * std::floor(t / 5); }))
            samples.push_back({samples.size() * 100, 100, n < 0 ? 0 : 2 * n, 0, uint16_t(n < 0), n <= 0, n == 0, 0,
                               n < 0 ? 1024 : 0, 0, 0});
        const vidmend::Timing timing = vidmend::assign_timestamps(ref, samples);
        QVERIFY2(!timing.audio_clock, timing.clock_why.c_str());
    }

    void boxes_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("layout"); // "iso", "moov", then "begin-end" of each mdat payload, "+" when cut short

        const auto box = [](const char* type, const QByteArray& body, qint64 size = -1) {
            return big(size < 0 ? body.size() + 8 : size, 4) + type + body;
        };
        const auto large = [](const QByteArray& body, quint64 size) {
            return big(1, 4) + "mdat" + big(size, 8) + body;
        };
        const QByteArray ftyp = box("ftyp", QByteArray("isom\0\0\0\0isom", 12)), payload(100, 'x');
        QTest::newRow("whole mdat") << ftyp + box("free", "") + box("mdat", payload) << "iso 36-136";
        QTest::newRow("mdat of size 0, as a killed writer leaves it")
            << ftyp + box("mdat", payload, 0) << "iso 28-128+";
        QTest::newRow("mdat size past the end of a cut copy") << ftyp + box("mdat", payload, 5000) << "iso 28-128+";
        QTest::newRow("64-bit mdat size") << ftyp + large(payload, 116) + box("moov", "") << "iso moov 36-136";
        QTest::newRow("64-bit mdat size past the end") << ftyp + large(payload, 1ull << 33) << "iso 36-136+";
        QTest::newRow("moov cut short does not count")
            << ftyp + box("mdat", payload) + box("moov", "abc", 80) << "iso 28-128";
        QTest::newRow("junk after the mdat") << ftyp + box("mdat", payload) + QByteArray(20, '\x01') << "iso 28-128";
        QTest::newRow("two mdat boxes") << ftyp + box("mdat", payload) + box("mdat", payload) << "iso 28-128 136-236";
        QTest::newRow("text") << QByteArray("just some text, long enough for a box header") << "";
        QTest::newRow("box with a size smaller than its header") << box("ftyp", "", 4) << "";
    }
    void boxes()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, layout);
        const vidmend::FileLayout got =
            vidmend::scan_boxes(reinterpret_cast<const uint8_t*>(file.constData()), uint64_t(file.size()));
        QStringList words;
        if (got.iso)
            words << "iso";
        if (got.has_moov)
            words << "moov";
        for (const vidmend::ByteRange& r : got.media)
            words << QString("%1-%2%3").arg(r.begin).arg(r.end).arg(r.cut ? "+" : "");
        QCOMPARE(words.join(' '), layout);
    }

    void picture_order_data()
    {
        // Pictures in decoding order: I (IDR), P, b (non-reference), then frame_num (types 1, 2) or pic_order_cnt_lsb
        // (type 0), "!" for an MMCO 5, and the count the standard's formulas give by hand.
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("pictures");
        QTest::addColumn<int>("wrap"); // counts after which what they come from wraps: frame_num at 16, lsb at 16
        QTest::newRow("type 2: non-reference pictures fall between") << 2 << "I0:0 P1:2 b2:3 P2:4 P3:6" << 32;
        QTest::newRow("type 2: frame_num wraps at 16") << 2 << "I0:0 P13:26 P14:28 P15:30 P0:32 b1:33" << 32;
        QTest::newRow("type 1: cycle of offsets 3 and 5, non-reference -2") << 1 << "I0:0 P1:3 P2:8 b3:6 P3:11" << 64;
        QTest::newRow("type 0: lsb wraps at 16") << 0 << "I0:0 P4:4 P8:8 b6:6 P12:12 P0:16 b14:14 P4:20" << 16;
        QTest::newRow("type 0: operation 5 starts the count again") << 0 << "I0:0 P4:4 P8!:0 b2:2 P4:4" << 16;
    }
    void picture_order()
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
            (type == 0 ? s.poc_lsb : s.frame_num) = picture.mid(1).section(':', 0, 0).remove('!').toInt();
            const vidmend::PictureOrder order = poc.next(s, sps);
            QVERIFY2(order.poc == picture.section(':', 1).toInt(),
                     qPrintable(picture + " gave " + QString::number(order.poc)));
            QCOMPARE(order.period_start, picture[0] == 'I' || s.mmco5);
            QTEST(int(order.wrap), "wrap");
        }
    }

    void display_order_data()
    {
        QTest::addColumn<QString>("orders"); // counts in decoding order ("|" begins a period) => display order
        QTest::newRow("B-pyramid counting in twos") << "0 8 4 2 6 16 12 10 14 => 0 4 2 1 3 8 6 5 7";
        QTest::newRow("cut-off group keeps its places") << "0 8 4 2 6 16 12 => 0 4 2 1 3 8 6";
        QTest::newRow("two periods") << "0 4 2 |0 4 2 => 0 2 1 3 5 4";
        QTest::newRow("leading pictures before a random access point") << "0 -2 -1 3 1 2 => 2 0 1 5 3 4";
        QTest::newRow("uneven counts fall back to ranks") << "0 5 3 => 0 2 1";
    }
    void display_order()
    {
        QFETCH(QString, orders);
        std::vector<int32_t> poc;
        std::vector<bool> starts;
        for (const QString& token : orders.section(" => ", 0, 0).split(' ')) {
            poc.push_back(QString(token).remove('|').toInt());
            starts.push_back(token.startsWith('|'));
        }
        QStringList got;
        for (int64_t d : vidmend::display_order(poc, starts))
            got << QString::number(d);
        QCOMPARE(got.join(' '), orders.section(" => ", 1));
    }

    // PCM sound told from bytes that are not (random, or read in the wrong byte order).
    void pcm_sound_data()
    {
        // ffmpeg's raw format of the bytes (none: random bytes), rate:channels, and "tone", "hiss" or "random"
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("codec"); // the codec they are read as
        QTest::addColumn<bool>("sound");
        QTest::newRow("s16le tone") << "s16le 48000:2 tone" << int(AV_CODEC_ID_PCM_S16LE) << true;
        QTest::newRow("s16le tone read as s16be") << "s16le 48000:2 tone" << int(AV_CODEC_ID_PCM_S16BE) << false;
        QTest::newRow("s24be tone, six channels") << "s24be 44100:6 tone" << int(AV_CODEC_ID_PCM_S24BE) << true;
        QTest::newRow("f32le tone") << "f32le 48000:1 tone" << int(AV_CODEC_ID_PCM_F32LE) << true;
        QTest::newRow("u8 tone") << "u8 8000:1 tone" << int(AV_CODEC_ID_PCM_U8) << true;
        QTest::newRow("mu-law tone") << "mulaw 8000:1 tone" << int(AV_CODEC_ID_PCM_MULAW) << true;
        QTest::newRow("A-law tone") << "alaw 8000:1 tone" << int(AV_CODEC_ID_PCM_ALAW) << true;
        QTest::newRow("s16le quiet hiss") << "s16le 48000:2 hiss" << int(AV_CODEC_ID_PCM_S16LE) << true;
        QTest::newRow("random bytes as s16le") << "48000:2 random" << int(AV_CODEC_ID_PCM_S16LE) << false;
        QTest::newRow("random bytes as mu-law") << "8000:1 random" << int(AV_CODEC_ID_PCM_MULAW) << false;
        QTest::newRow("random bytes as f32be") << "48000:2 random" << int(AV_CODEC_ID_PCM_F32BE) << false;
    }
    void pcm_sound()
    {
        QFETCH(QString, source);
        QFETCH(int, codec);
        QFETCH(bool, sound);
        const QStringList words = source.split(' ');
        const QString format = words.size() == 3 ? words[0] : QString(), audio = words.value(words.size() - 2);
        source = words.last();
        QByteArray bytes(65536, 0);
        if (source == "random") {
            QRandomGenerator(5).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        } else {
            const QString raw = at("sound.raw");
            const QString input =
                source == "tone" ? "sine=frequency=440:duration=1" : "anoisesrc=color=pink:amplitude=0.05:duration=1";
            QVERIFY(testmedia::ffmpeg({"-f", "lavfi", "-i", input, "-ar", audio.section(':', 0, 0), "-ac",
                                       audio.section(':', 1), "-f", format, raw}));
            bytes = testmedia::read_file(raw).left(65536);
        }
        AVCodecParameters* par = avcodec_parameters_alloc();
        const auto free_par = qScopeGuard([&] { avcodec_parameters_free(&par); });
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->codec_id = AVCodecID(codec);
        par->sample_rate = audio.section(':', 0, 0).toInt();
        av_channel_layout_default(&par->ch_layout, audio.section(':', 1).toInt());
        const auto framer = vidmend::make_audio_framer(par, 1);
        QVERIFY(framer && framer->fixed());
        QCOMPARE(framer->belongs(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size())), sound);
    }

    void report_gate_data()
    {
        // "milliseconds:progress:state" per report => which of them go out (200 ms apart at most once).
        QTest::addColumn<QString>("reports");
        QTest::newRow("progress waits for the interval")
            << "0:0:parsing 0:0:rebuilding 50:10:rebuilding 199:20:rebuilding 200:30:rebuilding 250:40:rebuilding "
               "=> 1 1 0 0 1 0";
        QTest::newRow("a new state goes at once") << "0:0:rebuilding 10:600:writing 20:610:writing => 1 1 0";
        QTest::newRow("the end goes at once") << "0:0:writing 10:1000:done => 1 1";
        QTest::newRow("no progress, nothing new") << "0:5:rebuilding 500:5:rebuilding 900:6:rebuilding => 1 0 1";
    }
    void report_gate()
    {
        QFETCH(QString, reports);
        vidmend::ProgressGate gate(std::chrono::milliseconds(200));
        QStringList sent;
        for (const QString& r : reports.section(" => ", 0, 0).split(' ')) {
            const QStringList f = r.split(':');
            const auto at = vidmend::ProgressGate::Clock::time_point{} + std::chrono::milliseconds(f[0].toInt());
            sent << (gate.due(f[1].toInt(), 1000, f[2].toStdString(), at) ? "1" : "0");
        }
        QCOMPARE(sent.join(' '), reports.section(" => ", 1));
    }
};

QTEST_GUILESS_MAIN(TestVidmend)
#include "test_vidmend.moc"
