#pragma once

#include <QList>
#include <QString>

#include <functional>

// A repaired recording held against the original it came from, sample by
// sample: the engine's tests and its benchmark measure with this one helper.
namespace mediasync {

// A packet as libavformat reads it: times in seconds, where it lies, a hash of its bytes.
struct Packet
{
    int track = 0;
    double start = 0, decode = 0, duration = 0, end = 0;
    qint64 pos = 0, size = 0;
    bool key = false;
    size_t hash = 0;
    bool uniform = false; // one byte over and over: silence written for PCM lost to damage
};

// A file's packets in file order; empty when it cannot be read.
QList<Packet> read_packets(const QString& path);

struct Sync
{
    QList<int> complete, kept;  // per track: samples of the original not `lost`, and of those the ones repaired
    QList<double> offsets;      // per picture kept: its time less that of the sound kept nearest before it, less the
                                // same in the original (pictures with no such sound are left out)
    double median = 0, p95 = 0; // of the offsets' magnitudes
    double end = 0;             // where each sound track's last sample kept ends against the pictures', less the
                                // same in the original, worst track
    QList<QPair<const Packet*, const Packet*>> pairs; // original and repaired of each sample kept
};

// Each complete sample of the original (one `lost` does not count) looked for
// among the next few repaired of its track by its bytes: a tone repeats its
// frames, so equal bytes alone do not tell which one came back.
Sync measure(const QList<Packet>& original, const QList<Packet>& repaired,
             const std::function<bool(const Packet&)>& lost);

} // namespace mediasync
