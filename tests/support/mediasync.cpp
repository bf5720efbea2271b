#include "mediasync.h"

#include <QHash>

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavformat/avformat.h>
}

namespace mediasync {

QList<Packet> read_packets(const QString& path)
{
    QList<Packet> list;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return list;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        const double tb = av_q2d(ctx->streams[pkt->stream_index]->time_base);
        Packet p;
        p.track = pkt->stream_index;
        p.start = double(pkt->pts) * tb;
        p.decode = double(pkt->dts) * tb;
        p.duration = double(pkt->duration) * tb;
        p.end = p.start + p.duration;
        p.pos = pkt->pos;
        p.size = pkt->size;
        p.key = pkt->flags & AV_PKT_FLAG_KEY;
        p.hash = qHashBits(pkt->data, size_t(pkt->size));
        p.uniform = pkt->size >= 64 &&
                    std::all_of(pkt->data, pkt->data + pkt->size, [&](uint8_t b) { return b == pkt->data[0]; });
        list << p;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return list;
}

Sync measure(const QList<Packet>& original, const QList<Packet>& repaired,
             const std::function<bool(const Packet&)>& lost)
{
    Sync s;
    int tracks = 0;
    for (const Packet& p : original)
        tracks = std::max(tracks, p.track + 1);
    QList<QList<QPair<const Packet*, const Packet*>>> kept(tracks);
    for (int t = 0; t < tracks; ++t) {
        QList<const Packet*> mine;
        for (const Packet& p : repaired)
            if (p.track == t && !(t > 0 && p.uniform))
                mine << &p;
        s.complete << 0;
        qsizetype next = 0;
        for (const Packet& p : original) {
            if (p.track != t || lost(p))
                continue;
            ++s.complete.last();
            for (qsizetype k = next; k < std::min(next + 8, mine.size()); ++k) {
                if (mine[k]->hash == p.hash && mine[k]->size == p.size) {
                    kept[t] << qMakePair(&p, mine[k]);
                    next = k + 1;
                    break;
                }
            }
        }
        s.kept << int(kept[t].size());
        s.pairs += kept[t];
    }
    if (tracks < 2 || kept[0].isEmpty())
        return s;
    // Lips against voice: the sound a viewer has just heard when the picture shows.
    QList<QPair<const Packet*, const Packet*>> sound = kept[1];
    std::sort(sound.begin(), sound.end(), [](const auto& a, const auto& b) { return a.first->start < b.first->start; });
    QList<double> magnitudes;
    for (const auto& [picture, got] : kept[0]) {
        const auto after = std::upper_bound(sound.begin(), sound.end(), picture->start,
                                            [](double at, const auto& a) { return at < a.first->start; });
        if (after == sound.begin())
            continue;
        const auto& [heard, heard_got] = *std::prev(after);
        s.offsets << (got->start - heard_got->start) - (picture->start - heard->start);
        magnitudes << std::fabs(s.offsets.last());
    }
    std::sort(magnitudes.begin(), magnitudes.end());
    if (!magnitudes.isEmpty()) {
        s.median = magnitudes[magnitudes.size() / 2];
        s.p95 = magnitudes[(magnitudes.size() - 1) * 95 / 100];
    }
    for (int t = 1; t < tracks; ++t) {
        if (kept[t].isEmpty())
            continue;
        const auto& [v, vg] = kept[0].last();
        const auto& [a, ag] = kept[t].last();
        s.end = std::max(s.end, std::fabs((ag->end - vg->end) - (a->end - v->end)));
    }
    return s;
}

} // namespace mediasync
