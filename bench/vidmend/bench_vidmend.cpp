// Figures for the repair engine:
//   recovery  complete samples of the damaged part recovered exactly (size,
//             order, pts, dts, key flag), per track, over recordings of each
//             kind the engine handles, cut at several places;
//   damage    over recordings damaged in the middle (garbage, zero runs; other
//             writers; two audio tracks): complete samples recovered with
//             their bytes, per track, how far audio and video end out of
//             step against the original, and the time per damaged spot;
//   timing    over recordings whose times are hard to rebuild (other writers'
//             interleave, variable and other frame rates, intra refresh with a
//             hole, audio ending before the video): recovery per track, end
//             sync, how far each recovered picture lies from its true time
//             against its audio (median and worst), and frame-time
//             collisions, or the word of a refusal;
//   speed     walk speed in MB/s on a clean ~200 MB 720p recording cut off
//             before its index, from a warm page cache, H.264 and HEVC, with
//             where the time goes; then the same H.264 file with ten runs
//             of 64 KB of zeros.
// Media are made with the stock ffmpeg and GStreamer on the first run and
// kept in $VIDMEND_BENCH_MEDIA (default <temp folder>/vidmend-bench).
//
//   refusals  a repair that must be refused: its exit code and word.
//   kinds     per kind of recording (other writers' chunks, an edit list's start
//             offset either way, an IP camera's), cut cleanly, its head lost, a
//             hole, a deletion: samples recovered, end sync, each picture against
//             the sound before it (median, 95th percentile); an index rewritten at
//             the head and stopped: samples recovered, and by the index alone.
// usage: bench_vidmend [recovery] [damage] [timing] [refusals] [kinds] [speed]

#include "boxes.h"
#include "figure.h"
#include "mappedfile.h"
#include "mediasync.h"
#include "reference.h"
#include "repair.h"
#include "testmedia.h"
#include "timestamps.h"
#include "walker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string_view>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace {

using Clock = std::chrono::steady_clock;

using mediasync::Packet;

QList<Packet> packets(const QString& path)
{
    return mediasync::read_packets(path);
}

// The same sample where it lies and when it plays.
bool same(const Packet& a, const Packet& b)
{
    return a.track == b.track && a.start == b.start && a.decode == b.decode && a.size == b.size && a.key == b.key;
}

// The first `fraction` of the file (or `bytes`), with the mdat size zeroed as a killed writer leaves it.
QString cut(const QString& original, const QString& out, double fraction, bool zero_size, qint64 bytes = 0)
{
    QFile in(original);
    in.open(QIODevice::ReadOnly);
    QByteArray d = in.read(bytes ? bytes : qint64(in.size() * fraction));
    if (d.indexOf("mdat") < 4)
        return {};
    if (zero_size)
        qToBigEndian<quint32>(0, d.data() + d.indexOf("mdat") - 4);
    QFile f(out);
    return f.open(QIODevice::WriteOnly) && f.write(d) == d.size() ? out : QString();
}

class Silent : public vidmend::Reporter
{
public:
    bool report(int, int, const std::string&) override { return true; }
};

// Seconds as a figure in milliseconds with `decimals`.
QString ms(double seconds, int decimals = 1)
{
    return QString("%1 ms").arg(1000 * seconds, 0, 'f', decimals);
}

QString media_dir()
{
    const QString dir = qEnvironmentVariable("VIDMEND_BENCH_MEDIA", QDir::tempPath() + "/vidmend-bench");
    QDir().mkpath(dir);
    return dir;
}

QString make(const QString& name, int seconds, const testmedia::Recording& settings)
{
    const QString path = media_dir() + "/" + name;
    if (QFileInfo(path).size() > 0)
        return path;
    std::printf("  making %s ...\n", qPrintable(name));
    std::fflush(stdout);
    return testmedia::make_recording(path, seconds, settings, 1800000);
}

void recovery()
{
    struct Kind
    {
        const char* name;
        testmedia::Recording settings;
    };
    const auto rec = [](const char* codec, const char* rate, int bframes, QStringList audio, QStringList params = {}) {
        testmedia::Recording r;
        r.codec = codec;
        r.rate = rate;
        r.bframes = bframes;
        r.audio = audio;
        r.video_params = params;
        return r;
    };
    const QList<Kind> kinds{
        {"h264-bframes-stereo48", rec("h264", "25", 3, {"48000:2"})},
        {"h264-ntsc-mono441", rec("h264", "30000/1001", 2, {"44100:1"})},
        {"h264-slices-aud", rec("h264", "25", 3, {"48000:2"}, {"slices=4", "aud=1"})},
        {"h264-two-audio", rec("h264", "25", 3, {"48000:2", "48000:1"})},
        {"h264-video-only", rec("h264", "25", 0, {})},
        {"hevc-bframes-stereo48", rec("hevc", "25", 3, {"48000:2"})},
        {"hevc-ntsc-mono441", rec("hevc", "30000/1001", 4, {"44100:1"})},
        {"hevc-slices-aud-inband", rec("hevc", "25", 3, {"48000:2"}, {"slices=3", "aud=1", "repeat-headers=1"})},
        {"hevc-video-only", rec("hevc", "30000/1001", 3, {})},
    };
    std::printf("recovery: complete samples of the damaged part recovered exactly (size, order, pts, dts, key)\n");
    std::printf("%-26s %-6s %10s %10s %8s\n", "recording", "track", "exact", "complete", "share");
    uint64_t all_exact = 0, all_complete = 0;
    for (const Kind& kind : kinds) {
        testmedia::Recording settings = kind.settings;
        const QString original = make(QString(kind.name) + "-original.mp4", 20, settings);
        settings.scene = 1;
        const QString reference = make(QString(kind.name) + "-reference.mp4", 4, settings);
        const QList<Packet> whole = packets(original);
        QList<uint64_t> exact, complete;
        int cuts = 0;
        for (double fraction : {0.23, 0.5, 0.77, 0.96}) {
            const QString damaged = cut(original, media_dir() + "/damaged.mp4", fraction, cuts++ % 2 == 1);
            const QString out = media_dir() + "/repaired.mp4";
            QFile::remove(out);
            Silent silent;
            const vidmend::RepairResult r =
                vidmend::repair({reference.toStdString(), damaged.toStdString(), out.toStdString(), 0}, silent);
            const qint64 size = QFileInfo(damaged).size();
            const QList<Packet> got = r.outcome == vidmend::Outcome::Done ? packets(out) : QList<Packet>();
            for (int s = 0; s <= settings.audio.size(); ++s) {
                QList<Packet> want, have;
                for (const Packet& p : whole)
                    if (p.track == s && p.pos + p.size <= size)
                        want << p;
                for (const Packet& p : got)
                    if (p.track == s)
                        have << p;
                if (exact.size() <= s)
                    exact << 0, complete << 0;
                complete[s] += want.size();
                for (int i = 0; i < want.size() && i < have.size(); ++i)
                    exact[s] += same(want[i], have[i]);
            }
        }
        for (int s = 0; s < exact.size(); ++s) {
            std::printf("%-26s %-6s %10llu %10llu %7.2f%%\n", kind.name, s == 0 ? "video" : "audio",
                        (unsigned long long)exact[s], (unsigned long long)complete[s],
                        complete[s] ? 100.0 * double(exact[s]) / double(complete[s]) : 0.0);
            all_exact += exact[s];
            all_complete += complete[s];
        }
    }
    const double share = 100.0 * double(all_exact) / double(std::max<uint64_t>(all_complete, 1));
    std::printf("%-26s %-6s %10llu %10llu %7.2f%%\n\n", "all", "", (unsigned long long)all_exact,
                (unsigned long long)all_complete, share);
    figure("repair: complete samples recovered exactly, every track", qPrintable(QString("%1%").arg(share, 0, 'f', 2)),
           "100%", qPrintable(QString("%1 of %2 samples").arg(all_exact).arg(all_complete)));
}

// A recording written by GStreamer's mp4mux or qtmux.
QString make_gst(const QString& name, int seconds, const QString& mux, int scene, int fps = 25, int bframes = 0)
{
    const QString path = media_dir() + "/" + name;
    return QFileInfo(path).size() > 0 ? path : testmedia::make_gst_recording(path, seconds, mux, scene, fps, bframes);
}

// The first `keep` of a recording with `count` spots of `bytes` random bytes
// (or zeros) spread evenly over its media data. Returns the damaged ranges.
QList<QPair<qint64, qint64>> spoil(const QString& original, const QString& out, double keep, int count, int bytes,
                                   bool zeros)
{
    QFile in(original);
    in.open(QIODevice::ReadOnly);
    QByteArray d = in.read(qint64(double(in.size()) * keep));
    const qint64 mdat = d.indexOf("mdat") + 12;
    QRandomGenerator random(17);
    QList<QPair<qint64, qint64>> spots;
    for (int n = 0; n < count; ++n) {
        const qint64 from = mdat + qint64(double(d.size() - mdat) * (n + 0.5) / count);
        for (qint64 i = from; i < from + bytes && i < d.size(); ++i)
            d[i] = zeros ? 0 : char(random.bounded(256));
        spots << qMakePair(from, from + bytes);
    }
    QFile f(out);
    if (!f.open(QIODevice::WriteOnly) || f.write(d) != d.size())
        return {};
    return spots;
}

// What a user's player makes of a repair against the original, from the one
// helper the tests hold it with; and pictures whose decoding times do not rise.
struct Timeline
{
    mediasync::Sync sync;
    QList<double> recovered; // per track
    int collisions = 0;
};

Timeline against_truth(const QList<Packet>& truth, const QList<Packet>& got, qint64 size,
                       const QList<QPair<qint64, qint64>>& ranges)
{
    Timeline o;
    o.sync = mediasync::measure(truth, got, [&](const Packet& p) {
        for (const auto& [from, to] : ranges)
            if (p.pos < to && p.pos + p.size > from)
                return true;
        return p.pos + p.size > size;
    });
    for (qsizetype t = 0; t < o.sync.kept.size(); ++t)
        o.recovered << (o.sync.complete[t] ? double(o.sync.kept[t]) / o.sync.complete[t] : 0);
    double last = -1e9;
    for (const Packet& p : got)
        if (p.track == 0)
            o.collisions += p.decode <= last, last = std::max(last, p.decode);
    return o;
}

struct Verdict
{
    QList<double> recovered; // per track, share of the complete samples kept with their bytes
    double sync = 0;         // largest |end error| of an audio track against the video, seconds
    double per_spot = 0;     // seconds spent finding where the data resumes, per damaged spot
    int spots = 0;
};

// Repairs `damaged` and holds the result against the original: each track's
// complete samples matched in order by their bytes, and where audio and
// video end against where the original's matched samples end.
Verdict judge(const QString& original, const QString& reference, const QString& damaged,
              const QList<QPair<qint64, qint64>>& ranges)
{
    Verdict o;
    vidmend::Reference ref;
    std::string error;
    vidmend::MappedFile file;
    if (vidmend::read_reference(reference.toStdString(), ref, error) != vidmend::ReferenceStatus::Ok ||
        !file.open(damaged.toStdString(), error))
        return o;
    const vidmend::FileLayout layout = vidmend::scan_boxes(file.data(), file.size());
    vidmend::Walker walker(ref, file.data());
    const vidmend::WalkResult walk = walker.walk(layout.media, {});
    o.spots = int(walk.stats.skipped_runs);
    o.per_spot = walk.stats.damage_seconds / std::max(1, o.spots);

    const QString out = media_dir() + "/damaged-repaired.mp4";
    QFile::remove(out);
    Silent silent;
    vidmend::repair({reference.toStdString(), damaged.toStdString(), out.toStdString(), 0}, silent);
    const Timeline t = against_truth(packets(original), packets(out), QFileInfo(damaged).size(), ranges);
    o.recovered = t.recovered;
    o.sync = t.sync.end;
    return o;
}

void damage()
{
    struct Form
    {
        const char* name;
        const char* writer; // "ffmpeg", "mp4mux", "qtmux"
        testmedia::Recording settings;
        int seconds, spots, bytes;
        bool zeros;
        double keep;
    };
    testmedia::Recording plain, hevc, two, two_rates, vga, s16, mulaw;
    hevc.codec = "hevc";
    s16.options = {"-c:a", "pcm_s16le"};
    mulaw.audio = {"8000:1"};
    mulaw.options = {"-c:a", "pcm_mulaw"};
    two.audio = {"48000:2", "48000:1"};
    two_rates.audio = {"48000:2", "44100:1"};
    vga.size = "640x480";
    const QList<Form> forms{
        {"h264-garbage-3", "ffmpeg", plain, 8, 3, 4096, false, 0.9},
        {"hevc-zeros-2", "ffmpeg", hevc, 8, 2, 4096, true, 0.9},
        {"two-audio-garbage-1", "ffmpeg", two, 8, 1, 4096, false, 0.9},
        {"two-rates-zeros-20", "ffmpeg", two_rates, 8, 20, 4096, true, 0.9},
        {"mp4mux-garbage-2", "mp4mux", plain, 8, 2, 4096, false, 0.9},
        {"qtmux-garbage-2", "qtmux", plain, 8, 2, 4096, false, 0.9},
        {"mp4mux-garbage-10", "mp4mux", plain, 8, 10, 4096, false, 0.9},
        {"vga-garbage-50-in-2.4MB", "ffmpeg", vga, 10, 50, 4096, false, 0.95},
        {"vga-zeros-50-in-2.4MB", "ffmpeg", vga, 10, 50, 4096, true, 0.95},
        {"pcm-s16le-garbage-3", "ffmpeg", s16, 8, 3, 4096, false, 0.9},
        {"pcm-s16le-hole-200KB", "ffmpeg", s16, 8, 1, 200 << 10, true, 0.9},
        {"mulaw-garbage-3", "ffmpeg", mulaw, 8, 3, 4096, false, 0.9},
        {"mulaw-hole-64KB", "ffmpeg", mulaw, 8, 1, 64 << 10, true, 0.9},
    };
    std::printf("damage: complete samples kept with their bytes, end of audio against video, time per spot\n");
    std::printf("%-26s %6s %9s %9s %9s %9s %10s\n", "recording", "spots", "video", "audio 1", "audio 2", "sync ms",
                "ms/spot");
    double worst_garbage = 1, worst_sync = 0, worst_spot = 0;
    for (const Form& form : forms) {
        const QString base = QString(form.name).section('-', 0, 1);
        const QString ext = QString(form.writer) == "qtmux" || form.settings.options.contains("-c:a") ? ".mov" : ".mp4";
        QString original, reference;
        if (QString(form.writer) == "ffmpeg") {
            testmedia::Recording settings = form.settings;
            original = make(base + "-damage-original" + ext, form.seconds, settings);
            settings.scene = 1;
            reference = make(base + "-damage-reference" + ext, 3, settings);
        } else {
            original = make_gst(base + "-damage-original" + ext, form.seconds, form.writer, 0);
            reference = make_gst(base + "-damage-reference" + ext, 3, form.writer, 1);
        }
        const QString damaged = media_dir() + "/damaged" + ext;
        const auto ranges = spoil(original, damaged, form.keep, form.spots, form.bytes, form.zeros);
        if (original.isEmpty() || reference.isEmpty() || ranges.isEmpty()) {
            std::printf("%-26s cannot be made\n", form.name);
            continue;
        }
        const Verdict o = judge(original, reference, damaged, ranges);
        const auto share = [&](int t) {
            return t < o.recovered.size() ? QString("%1%").arg(100 * o.recovered[t], 0, 'f', 1) : QString("-");
        };
        std::printf("%-26s %6d %9s %9s %9s %9.0f %10.2f\n", form.name, o.spots, qPrintable(share(0)),
                    qPrintable(share(1)), qPrintable(share(2)), 1000 * o.sync, 1000 * o.per_spot);
        for (double r : o.recovered)
            if (!form.zeros)
                worst_garbage = std::min(worst_garbage, r);
        worst_sync = std::max(worst_sync, o.sync);
        worst_spot = std::max(worst_spot, o.per_spot);
    }
    std::printf("\n");
    figure("repair after damage: complete samples recovered, worst track after garbage",
           qPrintable(QString("%1%").arg(100 * worst_garbage, 0, 'f', 1)), ">= 98%",
           qPrintable(QString("%1 recordings, garbage and zero runs").arg(forms.size())));
    figure("repair after damage: audio against video at the end, worst", qPrintable(ms(worst_sync, 0)), "<= 70 ms",
           "against the original's samples");
    figure("repair after damage: time per damaged spot, worst", qPrintable(ms(worst_spot, 2)), "<= 20 ms",
           "finding where the data resumes");
}

// Repairs that must be refused, with the word the window is sent.
void refusals()
{
    testmedia::Recording plain, vga;
    vga.size = "640x480";
    vga.scene = 1;
    const QString original = make("h264-damage-original.mp4", 8, plain);
    const QString damaged = cut(original, media_dir() + "/refused-damaged.mp4", 0.6, false);
    std::printf("refusals: exit code and word; no output may be left\n");
    const struct
    {
        const char* name;
        QString reference;
    } rows[]{{"reference at 640x480, recording at 320x240", make("vga-reference.mp4", 3, vga)}};
    for (const auto& row : rows) {
        const QString out = media_dir() + "/refused.mp4";
        QFile::remove(out);
        Silent silent;
        const vidmend::RepairResult r =
            vidmend::repair({row.reference.toStdString(), damaged.toStdString(), out.toStdString(), 0}, silent);
        std::printf("%-44s exit %d %s, output %s\n", row.name, int(r.outcome), vidmend::state_word(r.outcome),
                    QFile::exists(out) ? "LEFT" : "none");
        figure(qPrintable(QString("repair refused: %1").arg(row.name)), vidmend::state_word(r.outcome),
               "修复失败:参考视频与损坏视频的设置不同", QFile::exists(out) ? "an output was left" : "no output");
    }
    std::printf("\n");
}

void timing()
{
    struct Kind
    {
        const char* name;
        QString writer; // "ffmpeg", "vfr", "mp4mux"
        testmedia::Recording recording, reference;
        int seconds;
        double keep;
        qint64 hole;     // bytes of zeros in the middle of the media data
        int garbage = 0; // spots of 4 KB of random bytes spread over the media data
    };
    testmedia::Recording plain, at25, at30, refresh, short_audio, mp4mux;
    at25.rate = "25", at30.rate = "30";
    refresh.size = "640x360";
    refresh.bframes = 0;
    refresh.video_params = {"intra-refresh=1", "keyint=30"};
    refresh.options = {"-b:v", "5M"};
    short_audio.options = {"-af", "atrim=0:6"};
    mp4mux.rate = "30";
    mp4mux.bframes = 2;
    const QList<Kind> kinds{
        {"ffmpeg-h264-cut", "ffmpeg", plain, plain, 10, 0.63, 0},
        {"mp4mux-30fps-bframes-cut", "mp4mux", mp4mux, mp4mux, 10, 0.63, 0},
        {"mp4mux-30fps-bframes-cut-late", "mp4mux", mp4mux, mp4mux, 10, 0.91, 0},
        {"vfr-phone-cut", "vfr", plain, plain, 10, 0.63, 0},
        {"vfr-phone-cut-late", "vfr", plain, plain, 10, 0.93, 0},
        {"vfr-short-audio-cut-late", "vfr", short_audio, plain, 10, 0.93, 0},
        {"vfr-phone-garbage-3", "vfr", plain, plain, 10, 0.93, 0, 3},
        {"25fps-ref-30fps-cut", "ffmpeg", at25, at30, 10, 0.63, 0},
        {"25fps-ref-30fps-garbage-3", "ffmpeg", at25, at30, 10, 0.93, 0, 3},
        {"intra-refresh-1MB-hole", "ffmpeg", refresh, refresh, 10, 0.95, 1 << 20},
        {"audio-ends-early-cut", "ffmpeg", short_audio, plain, 10, 0.95, 0},
    };
    std::printf("timing: recovery per track, end sync, pictures against their true times (less the audio's offset), "
                "frame-time collisions\n");
    std::printf("%-32s %8s %8s %8s %9s %9s %10s\n", "recording", "video", "audio", "sync ms", "median ms", "p95 ms",
                "collisions");
    double worst_median = 0, worst_sync = 0;
    int collisions = 0;
    for (const Kind& kind : kinds) {
        const QString stem =
            QString("timing-%1").arg(kind.name).section("-cut", 0, 0).section("-1MB", 0, 0).section("-garbage", 0, 0);
        QString original = media_dir() + "/" + stem + "-original.mp4",
                reference = media_dir() + "/" + stem + "-reference.mp4";
        if (kind.writer == "mp4mux") {
            original = make_gst(stem + "-original.mp4", kind.seconds, "mp4mux", 0, 30, 2);
            reference = make_gst(stem + "-reference.mp4", 3, "mp4mux", 1, 30, 2);
        } else if (kind.writer == "vfr") {
            if (QFileInfo(original).size() == 0 || QFileInfo(reference).size() == 0)
                if (testmedia::make_vfr_recording(original, kind.seconds, 0, kind.recording.options.isEmpty() ? 0 : 6)
                        .isEmpty() ||
                    testmedia::make_vfr_recording(reference, 3, 1).isEmpty())
                    original.clear();
        } else {
            original = make(stem + "-original.mp4", kind.seconds, kind.recording);
            testmedia::Recording settings = kind.reference;
            settings.scene = 1;
            reference = make(stem + "-reference.mp4", 3, settings);
        }
        QList<QPair<qint64, qint64>> ranges;
        const QString damaged = media_dir() + "/timing-damaged.mp4";
        if (!original.isEmpty()) {
            QFile in(original);
            in.open(QIODevice::ReadOnly);
            QByteArray d = in.read(qint64(double(in.size()) * kind.keep));
            const qint64 mdat = d.indexOf("mdat") + 12;
            if (kind.hole) {
                const qint64 from = mdat + (d.size() - mdat) / 2;
                d.replace(from, kind.hole, QByteArray(kind.hole, 0));
                ranges << qMakePair(from, from + kind.hole);
            }
            QRandomGenerator random(17);
            for (int n = 0; n < kind.garbage; ++n) {
                const qint64 from = mdat + qint64(double(d.size() - mdat) * (n + 0.5) / kind.garbage);
                for (qint64 i = from; i < from + 4096 && i < d.size(); ++i)
                    d[i] = char(random.bounded(256));
                ranges << qMakePair(from, from + 4096);
            }
            QFile f(damaged);
            if (!f.open(QIODevice::WriteOnly) || f.write(d) != d.size())
                original.clear();
        }
        if (original.isEmpty() || reference.isEmpty()) {
            std::printf("%-32s cannot be made\n", kind.name);
            continue;
        }
        const QString out = media_dir() + "/timing-repaired.mp4";
        QFile::remove(out);
        Silent silent;
        const vidmend::RepairResult r =
            vidmend::repair({reference.toStdString(), damaged.toStdString(), out.toStdString(), 0}, silent);
        if (r.outcome != vidmend::Outcome::Done) {
            std::printf("%-32s %s\n", kind.name, vidmend::state_word(r.outcome));
            continue;
        }
        const Timeline t = against_truth(packets(original), packets(out), QFileInfo(damaged).size(), ranges);
        const auto share = [&](int i) {
            return i < t.recovered.size() ? QString("%1%").arg(100 * t.recovered[i], 0, 'f', 1) : QString("-");
        };
        std::printf("%-32s %8s %8s %8.0f %9.1f %9.1f %10d  (%s)\n", kind.name, qPrintable(share(0)),
                    qPrintable(share(1)), 1000 * t.sync.end, 1000 * t.sync.median, 1000 * t.sync.p95, t.collisions,
                    r.summary.clock.c_str());
        worst_median = std::max(worst_median, t.sync.median);
        worst_sync = std::max(worst_sync, t.sync.end);
        collisions += t.collisions;
    }
    std::printf("\n");
    figure("repair timing: median offset of the pictures against their true times, worst kind",
           qPrintable(ms(worst_median, 1)), "<= 20 ms",
           qPrintable(QString("%1 kinds, against their audio").arg(kinds.size())));
    figure("repair timing: audio against video at the end, worst kind", qPrintable(ms(worst_sync, 0)), "<= 70 ms", "");
    figure("repair timing: frame-time collisions, all kinds", qPrintable(QString::number(collisions)), "0",
           "decoding times that do not rise");
}

// A recording of one kind for the per-kind figures, 12 s (3 s with `scene` 1, its reference).
QString make_kind(const QString& kind, int scene)
{
    const QString stem = media_dir() + "/kind-" + kind.toLower().replace(QRegularExpression("[^a-z0-9]+"), "-") +
                         (scene ? "-reference" : "-original");
    const QString path = stem + (kind.startsWith("GStreamer") ? ".mov" : ".mp4");
    if (QFileInfo(path).size() > 0)
        return path;
    const int seconds = scene ? 3 : 12;
    if (kind.startsWith("GStreamer"))
        return testmedia::make_gst_recording(path, seconds, "qtmux", scene, 25, 0, 48000, "interleave-time=1000000000");
    testmedia::Recording r;
    r.size = "640x360";
    r.options = {"-b:v", "2M"};
    r.scene = scene;
    if (kind.startsWith("IP camera")) {
        r.bframes = 0;
        r.audio = {"16000:1"};
        r.video_params = {"cabac=0"};
    }
    if (!kind.contains(" first"))
        return testmedia::make_recording(path, seconds, r, 1800000);
    // One track 300 ms after the other, as an edit list says.
    const QString plain = stem + "-plain.mp4";
    const bool sound = kind.startsWith("sound");
    const bool made = !testmedia::make_recording(plain, seconds, r).isEmpty() &&
                      testmedia::ffmpeg({"-itsoffset", "0.3", "-i", plain, "-i", plain, "-map", sound ? "0:v" : "1:v",
                                         "-map", sound ? "1:a" : "0:a", "-c", "copy", path});
    return made ? path : QString();
}

// Per kind of recording, cut cleanly and damaged as users' files are: the
// share of complete samples recovered, where the sound ends against the
// pictures, and each picture against the sound heard just before it; then a
// recording whose index at its head was rewritten every second until it was
// stopped, with what its index alone gave.
void kinds()
{
    const QStringList kinds{"ffmpeg H.264 B-frames", "GStreamer qtmux 1 s chunks", "IP camera CAVLC mono 16 kHz",
                            "sound 300 ms first", "pictures 300 ms first"};
    const QStringList forms{"clean cut", "lost head", "hole", "deletion"};
    std::printf("kinds: samples recovered (every track), end of sound against pictures, pictures against the sound "
                "heard before them\n");
    std::printf("%-30s %-10s %9s %8s %10s %8s\n", "recording", "form", "recovered", "end ms", "median ms", "p95 ms");
    double least = 1, clean = 0, median = 0, p95 = 0;
    for (const QString& kind : kinds) {
        const QString original = make_kind(kind, 0), reference = make_kind(kind, 1);
        if (original.isEmpty() || reference.isEmpty()) {
            std::printf("%-30s cannot be made\n", qPrintable(kind));
            continue;
        }
        for (const QString& form : forms) {
            QFile in(original);
            in.open(QIODevice::ReadOnly);
            QByteArray d = in.read(in.size() * 9 / 10);
            const qint64 mdat = d.indexOf("mdat") + 12, middle = mdat + (d.size() - mdat) / 2;
            QList<QPair<qint64, qint64>> ranges;
            qint64 removed = 0;
            if (form == "lost head") {
                d.replace(0, 64 << 10, QByteArray(64 << 10, 0));
                ranges << qMakePair(0, 64 << 10);
            } else if (form == "hole") {
                const qint64 hole = std::min<qint64>(1 << 20, d.size() / 8);
                d.replace(middle, hole, QByteArray(hole, 0));
                ranges << qMakePair(middle, middle + hole);
            } else if (form == "deletion") {
                d.remove(middle, removed = 24 << 10);
                ranges << qMakePair(middle, middle + removed);
            }
            const QString damaged = media_dir() + "/kind-damaged" + original.right(4),
                          out = media_dir() + "/kind-repaired.mp4";
            QFile f(damaged);
            f.open(QIODevice::WriteOnly);
            f.write(d);
            f.close();
            QFile::remove(out);
            Silent silent;
            const vidmend::RepairResult r =
                vidmend::repair({reference.toStdString(), damaged.toStdString(), out.toStdString(), 0}, silent);
            if (r.outcome != vidmend::Outcome::Done) {
                std::printf("%-30s %-10s %s\n", qPrintable(kind), qPrintable(form), vidmend::state_word(r.outcome));
                least = 0;
                continue;
            }
            const Timeline t = against_truth(packets(original), packets(out), d.size() + removed, ranges);
            int kept = 0, complete = 0;
            for (qsizetype s = 0; s < t.sync.kept.size(); ++s)
                kept += t.sync.kept[s], complete += t.sync.complete[s];
            const double share = complete ? double(kept) / complete : 0;
            std::printf("%-30s %-10s %8.1f%% %8.1f %10.1f %8.1f\n", qPrintable(kind), qPrintable(form), 100 * share,
                        1000 * t.sync.end, 1000 * t.sync.median, 1000 * t.sync.p95);
            least = std::min(least, share);
            (form == "clean cut" ? clean : p95) = std::max(form == "clean cut" ? clean : p95, t.sync.p95);
            median = std::max(median, t.sync.median);
        }
    }
    std::printf("\n");
    figure("repair by kind: complete samples recovered, worst kind and form",
           qPrintable(QString("%1%").arg(100 * least, 0, 'f', 1)), ">= 98%",
           qPrintable(QString("%1 kinds, clean cut, lost head, hole, deletion").arg(kinds.size())));
    figure("repair by kind: pictures against the sound before them, worst median", qPrintable(ms(median, 1)),
           "<= 20 ms", "");
    figure("repair by kind: pictures against the sound before them, worst 95th percentile after damage",
           qPrintable(QString("%1 ms").arg(1000 * p95, 0, 'f', 1)), "<= 45 ms", "");
    figure("repair by kind: the same on clean cuts", qPrintable(ms(clean, 1)), "0 ms", "");

    // The index at the head rewritten every four seconds, stopped after 7.6 s of pictures.
    const QString reserve = "reserved-max-duration=60000000000 reserved-moov-update-period=4000000000";
    const QString whole = media_dir() + "/robust-whole.mov", stopped = media_dir() + "/robust-stopped.mov",
                  reference = make_kind("GStreamer", 1), out = media_dir() + "/robust-repaired.mp4";
    if (testmedia::make_gst_recording(whole, 10, "qtmux", 0, 25, 0, 48000, reserve).isEmpty() ||
        testmedia::make_gst_recording(stopped, 10, "qtmux", 0, 25, 0, 48000, reserve, 190).isEmpty()) {
        std::printf("robust recording cannot be made\n");
        return;
    }
    Silent silent;
    const vidmend::RepairResult r =
        vidmend::repair({reference.toStdString(), stopped.toStdString(), out.toStdString(), 0}, silent);
    const Timeline t = against_truth(packets(whole), packets(out), QFileInfo(stopped).size(), {});
    int complete = 0, kept = 0, indexed = 0;
    for (qsizetype s = 0; s < t.sync.kept.size(); ++s)
        kept += t.sync.kept[s], complete += t.sync.complete[s];
    for (const vidmend::TrackSummary& track : r.summary.tracks)
        indexed += int(track.samples - track.walked);
    std::printf("robust muxing, stopped: %d complete samples, %d from the index alone (%.1f%%), %d recovered (%.1f%%), "
                "pictures against their sound %.1f ms p95\n\n",
                complete, indexed, 100.0 * indexed / std::max(1, complete), kept, 100.0 * kept / std::max(1, complete),
                1000 * t.sync.p95);
    figure("repair: an index rewritten at the head, stopped: samples recovered",
           qPrintable(QString("%1%").arg(100.0 * kept / std::max(1, complete), 0, 'f', 1)), "100%",
           qPrintable(QString("the index alone gave %1%").arg(100.0 * indexed / std::max(1, complete), 0, 'f', 1)));
}

void speed(const char* codec)
{
    testmedia::Recording settings;
    settings.codec = codec;
    settings.size = "1280x720";
    // About 210 MB either way; x265 is the slower encoder, so its recording is shorter.
    const bool hevc = QString(codec) == "hevc";
    settings.options = {"-b:v", hevc ? "15M" : "8M"};
    const QString name = QString("720p-%1-200").arg(codec);
    const QString original = make(name + "-original.mp4", hevc ? 110 : 210, settings);
    settings.scene = 1;
    const QString reference = make(name + "-reference.mp4", 5, settings);
    const QString damaged = media_dir() + "/" + name + "-damaged.mp4";
    if (QFileInfo(damaged).size() == 0 &&
        cut(original, damaged, 0, true, std::min<qint64>(QFileInfo(original).size() - 1000, 200ll << 20)).isEmpty()) {
        std::printf("%s: no recording to cut\n", codec);
        return;
    }

    vidmend::Reference ref;
    std::string error;
    vidmend::MappedFile file;
    if (vidmend::read_reference(reference.toStdString(), ref, error) != vidmend::ReferenceStatus::Ok ||
        !file.open(damaged.toStdString(), error)) {
        std::printf("%s: %s\n", codec, error.c_str());
        return;
    }
    const vidmend::FileLayout layout = vidmend::scan_boxes(file.data(), file.size());
    // Warm cache: every page read once before timing.
    volatile uint64_t sum = 0;
    for (uint64_t i = 0; i < file.size(); i += 4096)
        sum = sum + file.data()[i];

    double best = 1e9;
    vidmend::WalkResult fastest;
    for (int run = 0; run < 4; ++run) {
        vidmend::Walker walker(ref, file.data());
        const auto start = Clock::now();
        vidmend::WalkResult result = walker.walk(layout.media, {});
        vidmend::assign_timestamps(ref, result.samples);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (run > 0 && seconds < best) {
            best = seconds;
            fastest = std::move(result);
        }
    }
    const vidmend::WalkStats& s = fastest.stats;
    uint64_t frames = 0, pictures = 0;
    for (const vidmend::Sample& sample : fastest.samples)
        (int(sample.track) == ref.video ? pictures : frames) += 1;
    const double mb = double(s.payload) / 1e6;
    std::printf("%s: %.1f MB of media data, %llu pictures, %llu AAC frames\n", codec, mb, (unsigned long long)pictures,
                (unsigned long long)frames);
    std::printf("  walk: %.3f s, %.0f MB/s (best of 3 warm runs)\n", best, mb / best);
    figure(qPrintable(QString("repair: walk speed, %1 MB 720p %2, warm cache").arg(mb, 0, 'f', 0).arg(codec)),
           qPrintable(QString("%1 MB/s").arg(mb / best, 0, 'f', 0)), ">= 1000 MB/s",
           qPrintable(QString("AAC splitting %1% of the time").arg(100 * s.audio_seconds / best, 0, 'f', 0)));
    std::printf("    AAC runs cut with the decoder: %.3f s (%.0f%%), %.2f decoder calls per frame\n", s.audio_seconds,
                100 * s.audio_seconds / best, frames ? double(s.decoder_calls) / double(frames) : 0.0);
    std::printf("    search for the next picture past an AAC run: %.3f s (%.0f%%)\n", s.search_seconds,
                100 * s.search_seconds / best);
    const double rest = best - s.audio_seconds - s.search_seconds;
    std::printf("    NAL chains, slice headers, picture order, timestamps: %.3f s (%.0f%%)\n", rest, 100 * rest / best);
    std::printf("  used %.2f%% of the media data, %llu bytes skipped\n",
                100.0 * double(s.video_bytes + s.audio_bytes) / double(s.payload), (unsigned long long)s.skipped);

    const QString out = media_dir() + "/" + name + "-repaired.mp4";
    Silent silent;
    const auto start = Clock::now();
    const vidmend::RepairResult r =
        vidmend::repair({reference.toStdString(), damaged.toStdString(), out.toStdString(), 0}, silent);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("  whole repair with writing: %.2f s (%.0f MB/s): %s\n\n", seconds, mb / seconds,
                vidmend::state_word(r.outcome));
    QFile::remove(out);
    if (hevc)
        return;

    // Ten runs of 64 KB of zeros in the same file.
    const QString zeroed = media_dir() + "/" + name + "-zeroed.mp4";
    const auto ranges = spoil(damaged, zeroed, 1, 10, 64 << 10, true);
    const Verdict v = judge(original, reference, zeroed, ranges);
    std::printf("%s with ten runs of 64 KB of zeros: %d spots, video %.2f%%, audio %.2f%% kept, ends %.0f ms out of "
                "step, %.2f ms per spot\n\n",
                codec, v.spots, 100 * v.recovered.value(0), 100 * v.recovered.value(1), 1000 * v.sync,
                1000 * v.per_spot);
    figure("repair: ten runs of 64 KB of zeros in 200 MB, audio against video at the end", qPrintable(ms(v.sync, 0)),
           "<= 70 ms",
           qPrintable(QString("%1 ms per spot, %2% of the video kept")
                          .arg(1000 * v.per_spot, 0, 'f', 2)
                          .arg(100 * v.recovered.value(0), 0, 'f', 2)));
    QFile::remove(zeroed);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    av_log_set_level(AV_LOG_QUIET);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.contains("recovery"))
        recovery();
    if (args.isEmpty() || args.contains("damage"))
        damage();
    if (args.isEmpty() || args.contains("refusals"))
        refusals();
    if (args.isEmpty() || args.contains("timing"))
        timing();
    if (args.isEmpty() || args.contains("kinds"))
        kinds();
    if (args.isEmpty() || args.contains("speed")) {
        speed("h264");
        speed("hevc");
    }
    return 0;
}
