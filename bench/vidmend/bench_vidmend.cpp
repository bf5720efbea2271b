// Figures for the repair engine:
//   recovery  complete samples of the damaged part recovered exactly (size,
//             order, pts, dts, key flag), per track, over recordings of each
//             kind the engine handles, cut at several places;
//   speed     walk speed in MB/s on a ~100 MB 720p damaged file from a warm
//             page cache, H.264 and HEVC, with where the time goes.
// Media are made with the stock ffmpeg on the first run and kept in
// $VIDMEND_BENCH_MEDIA (default <temp folder>/vidmend-bench).
//
// usage: bench_vidmend [recovery] [speed]

#include "boxes.h"
#include "figure.h"
#include "mappedfile.h"
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

#include <chrono>
#include <cstdio>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace {

using Clock = std::chrono::steady_clock;

struct Packet
{
    int stream;
    int64_t pts, dts, pos;
    int size;
    bool key;
    bool same(const Packet& o) const
    {
        return stream == o.stream && pts == o.pts && dts == o.dts && size == o.size && key == o.key;
    }
};

QList<Packet> packets(const QString& path)
{
    QList<Packet> list;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return list;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        list << Packet{pkt->stream_index, pkt->pts, pkt->dts, pkt->pos, pkt->size, (pkt->flags & AV_PKT_FLAG_KEY) != 0};
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return list;
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
                    if (p.stream == s && p.pos + p.size <= size)
                        want << p;
                for (const Packet& p : got)
                    if (p.stream == s)
                        have << p;
                if (exact.size() <= s)
                    exact << 0, complete << 0;
                complete[s] += want.size();
                for (int i = 0; i < want.size() && i < have.size(); ++i)
                    exact[s] += want[i].same(have[i]);
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

void speed(const char* codec)
{
    testmedia::Recording settings;
    settings.codec = codec;
    settings.size = "1280x720";
    // About 110 MB either way; x265 is the slower encoder, so its recording is shorter.
    const bool hevc = QString(codec) == "hevc";
    settings.options = {"-b:v", hevc ? "15M" : "8M"};
    const QString name = QString("720p-%1").arg(codec);
    const QString original = make(name + "-original.mp4", hevc ? 60 : 110, settings);
    settings.scene = 1;
    const QString reference = make(name + "-reference.mp4", 5, settings);
    const QString damaged = media_dir() + "/" + name + "-damaged.mp4";
    if (QFileInfo(damaged).size() == 0 &&
        cut(original, damaged, 0, true, std::min<qint64>(QFileInfo(original).size() - 1000, 100ll << 20)).isEmpty()) {
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
           qPrintable(QString("%1 MB/s").arg(mb / best, 0, 'f', 0)), ">= 300 MB/s",
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
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    av_log_set_level(AV_LOG_QUIET);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.contains("recovery"))
        recovery();
    if (args.isEmpty() || args.contains("speed")) {
        speed("h264");
        speed("hevc");
    }
    return 0;
}
