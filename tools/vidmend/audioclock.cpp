#include "audioclock.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/rational.h>
}

#include <algorithm>
#include <cmath>
#include <limits>

namespace vidmend {

namespace {

constexpr double k_inf = std::numeric_limits<double>::infinity();
// Samples looked at after a damaged spot to place what follows it.
constexpr size_t k_run_limit = 512;

// How the writer placed a track's frames among the pictures, from the
// reference: a frame's time minus the decoding time of the picture before
// it in the file is at least `after_previous`, minus that of the picture
// after it at most `before_next`.
struct Interleave
{
    double after_previous = -k_inf;
    double before_next = k_inf;
};

std::vector<Interleave> reference_interleave(const Reference& ref)
{
    const double vtb = av_q2d(ref.tracks[ref.video].time_base);
    const std::vector<RefSample>& l = ref.layout;
    std::vector<Interleave> out(ref.tracks.size());
    std::vector<double> lowest(out.size(), k_inf), highest(out.size(), -k_inf);
    std::vector<double> next(l.size(), k_inf);
    for (size_t i = l.size(), seen = 0; i-- > 0;) {
        if (seen)
            next[i] = double(l[seen - 1].timestamp) * vtb;
        if (l[i].track == ref.video)
            seen = i + 1;
    }
    double previous = -k_inf;
    for (size_t i = 0; i < l.size(); ++i) {
        const int t = l[i].track;
        if (t == ref.video) {
            previous = double(l[i].timestamp) * vtb;
            continue;
        }
        const double at = double(l[i].timestamp) * av_q2d(ref.tracks[t].time_base);
        if (std::isfinite(previous))
            lowest[t] = std::min(lowest[t], at - previous);
        if (std::isfinite(next[i]))
            highest[t] = std::max(highest[t], at - next[i]);
    }
    for (size_t t = 0; t < out.size(); ++t) {
        if (std::isfinite(lowest[t]))
            out[t].after_previous = lowest[t];
        if (std::isfinite(highest[t]))
            out[t].before_next = highest[t];
    }
    return out;
}

// The whole number, at least `lowest`, that most of the spans hold (a span
// wholly below `lowest` stands for it); of several, the one nearest to
// `guess`; `guess` itself when none holds one. Spans that disagree with the
// rest (from pictures whose slots are a frame out, reordered ones next to
// lost ones) are outvoted.
int64_t most_agreed(const std::vector<std::pair<double, double>>& spans, int64_t lowest, int64_t guess)
{
    constexpr double k_far = 1e6;
    std::vector<std::pair<int64_t, int>> edges;
    for (const auto& [low, high] : spans) {
        const int64_t from = std::max<int64_t>(lowest, int64_t(std::ceil(std::max(low, -k_far) - 1e-6)));
        const int64_t to = std::max(lowest, int64_t(std::floor(std::min(high, k_far) + 1e-6)));
        if (from <= to) {
            edges.emplace_back(from, 1);
            edges.emplace_back(to + 1, -1);
        }
    }
    guess = std::max(guess, lowest);
    if (edges.empty())
        return guess;
    std::sort(edges.begin(), edges.end());
    int depth = 0, best_depth = 0;
    int64_t best = guess;
    for (size_t e = 0; e < edges.size(); ++e) {
        depth += edges[e].second;
        if (e + 1 < edges.size() && edges[e + 1].first == edges[e].first)
            continue;
        if (depth <= 0 || e + 1 == edges.size())
            continue;
        // [edges[e].first, edges[e + 1].first) is held by `depth` spans.
        const int64_t near = std::clamp(guess, edges[e].first, edges[e + 1].first - 1);
        if (depth > best_depth || (depth == best_depth && std::llabs(near - guess) < std::llabs(best - guess))) {
            best_depth = depth;
            best = near;
        }
    }
    return best;
}

class AudioClock
{
public:
    AudioClock(const Reference& ref, const std::vector<std::vector<double>>& lost_at,
               const std::vector<double>& mean_duration, PictureSlots& pictures, std::vector<Sample>& samples)
        : m_ref(ref)
        , m_video(ref.tracks[ref.video])
        , m_lost_at(lost_at)
        , m_mean_duration(mean_duration)
        , m_pictures(pictures)
        , m_samples(samples)
        , m_interleave(reference_interleave(ref))
        , m_pictures_before(samples.size(), 0)
        , m_clock(ref.tracks.size(), 0)
        , m_lost(ref.tracks.size(), 0)
        , m_resync(ref.tracks.size(), false)
        , m_moved_on(ref.tracks.size(), 0)
        , m_step(double(m_video.step) * av_q2d(m_video.time_base))
    {
        for (size_t i = 0, k = 0; i < samples.size(); ++i) {
            m_pictures_before[i] = k;
            k += k < pictures.sample.size() && pictures.sample[k] == i;
        }
    }

    std::vector<double> run()
    {
        const size_t n = m_pictures.sample.size();
        for (size_t i = 0; i < m_samples.size(); ++i) {
            if (!m_lost_at[i].empty()) {
                for (size_t t = 0; t < m_lost.size(); ++t) {
                    m_lost[t] += m_lost_at[i][t];
                    m_resync[t] = true;
                }
                const size_t k = m_pictures_before[i];
                if (k > 0 && k < n && m_pictures.guessed[k] && last_spot_before(i, k))
                    move_pictures(i, k);
            }
            Sample& s = m_samples[i];
            if (s.track == m_ref.video)
                continue;
            const RefTrack& t = m_ref.tracks[s.track];
            const int64_t len = length(s);
            if (m_resync[s.track]) {
                const int64_t skip = resume(i, s.track);
                m_clock[s.track] += skip;
                m_moved_on[s.track] += double(skip) * av_q2d(t.time_base);
            }
            s.pts = s.dts = t.first_pts + m_clock[s.track];
            s.duration = len;
            m_clock[s.track] += len;
            m_resync[s.track] = false;
            m_lost[s.track] = 0;
        }
        for (size_t k = 0; k < n; ++k) {
            m_pictures.display[k] += moved(k);
            m_pictures.rank[k] += moved(k);
        }
        return m_moved_on;
    }

private:
    int64_t moved(size_t k) const
    {
        const auto it = std::upper_bound(m_moves.begin(), m_moves.end(), k,
                                         [](size_t v, const std::pair<size_t, int64_t>& m) { return v < m.first; });
        return it == m_moves.begin() ? 0 : std::prev(it)->second;
    }

    // Decoding slot of picture k in seconds, at the reference's delay.
    double slot(size_t k) const
    {
        return double(m_video.first_pts + (m_pictures.rank[k] + moved(k) - m_video.delay) * m_video.step) *
               av_q2d(m_video.time_base);
    }

    // A sample's duration in its track's time base, from the walk's count of samples.
    int64_t length(const Sample& s) const
    {
        const RefTrack& t = m_ref.tracks[s.track];
        return t.sample_rate > 0 ? av_rescale_q(s.duration, AVRational{1, t.sample_rate}, t.time_base) : t.step;
    }

    // How far a track moves on across what it lost, by the bytes' count:
    // whole frames for a coded track, sample frames for PCM.
    int64_t skip_by_bytes(int track) const
    {
        const RefTrack& t = m_ref.tracks[track];
        const double lost = m_lost[track];
        if (t.sample_rate <= 0)
            return std::max<int64_t>(0, std::llround(std::round(lost) * double(t.step)));
        const double frames =
            t.frame_samples > 1 ? std::round(lost) * double(t.frame_samples) : lost * m_mean_duration[track];
        return std::max<int64_t>(0, av_rescale_q(std::llround(frames), AVRational{1, t.sample_rate}, t.time_base));
    }

    bool last_spot_before(size_t i, size_t k) const
    {
        for (size_t j = i + 1; j <= m_pictures.sample[k]; ++j)
            if (!m_lost_at[j].empty())
                return false;
        return true;
    }

    // Where a track takes up again after damage: by the bytes it lost, moved
    // as little as needed for its run up to the next damage to sit among the
    // pictures as the writer interleaves.
    int64_t resume(size_t i, int track) const
    {
        const RefTrack& t = m_ref.tracks[track];
        const double tb = av_q2d(t.time_base);
        const Interleave& bounds = m_interleave[track];
        // Whole frames for a coded track, samples for PCM.
        const int64_t unit = t.frame_samples > 1 || t.sample_rate <= 0
                                 ? length(m_samples[i])
                                 : std::max<int64_t>(1, av_rescale_q(1, AVRational{1, t.sample_rate}, t.time_base));
        const int64_t guess = skip_by_bytes(track) / std::max<int64_t>(1, unit);
        if (unit <= 0)
            return skip_by_bytes(track);
        // Per frame of the run, the units to skip that put it between its pictures.
        const double base = double(t.first_pts + m_clock[track]) * tb, scale = tb * double(unit);
        std::vector<std::pair<double, double>> spans;
        double into = 0;
        for (size_t j = i, seen = 0; j < m_samples.size() && seen < k_run_limit; ++j, ++seen) {
            if (j > i && !m_lost_at[j].empty())
                break;
            if (m_samples[j].track != track)
                continue;
            const size_t k = m_pictures_before[j];
            const double low = k > 0 ? slot(k - 1) + bounds.after_previous - into : -k_inf;
            const double high = k < m_pictures.sample.size() ? slot(k) + bounds.before_next - into : k_inf;
            if (std::isfinite(low) || std::isfinite(high))
                spans.emplace_back((low - base) / scale, (high - base) / scale);
            into += double(length(m_samples[j])) * tb;
        }
        return most_agreed(spans, 0, guess) * unit;
    }

    // The period beginning at picture k, right after the damage before sample
    // i, was placed by the bytes lost alone: moves it, by as few frames as
    // will do, to sit around the audio that follows the damage, which moves
    // on by the frames its own lost bytes held.
    void move_pictures(size_t i, size_t k)
    {
        const std::vector<int64_t>& rank = m_pictures.rank;
        std::vector<int64_t> at(m_clock);
        for (size_t t = 0; t < at.size(); ++t)
            if (m_resync[t] && m_ref.tracks[t].kind == TrackKind::Audio)
                at[t] += skip_by_bytes(int(t));
        std::vector<std::pair<double, double>> spans;
        for (size_t j = i, seen = 0; j < m_samples.size() && seen < k_run_limit; ++j, ++seen) {
            if (j > i && !m_lost_at[j].empty())
                break;
            const Sample& s = m_samples[j];
            if (s.track == m_ref.video)
                continue;
            const RefTrack& t = m_ref.tracks[s.track];
            const double time = double(t.first_pts + at[s.track]) * av_q2d(t.time_base);
            at[s.track] += length(s);
            const Interleave& bounds = m_interleave[s.track];
            const size_t after = m_pictures_before[j];
            const bool next = after < m_pictures.sample.size() && after >= k, previous = after > k;
            if (next || previous)
                spans.emplace_back(next ? (time - bounds.before_next - slot(after)) / m_step : -k_inf,
                                   previous ? (time - bounds.after_previous - slot(after - 1)) / m_step : k_inf);
        }
        // Decoding order stays.
        const int64_t lowest = rank[k - 1] + moved(k - 1) + 1 - rank[k] - moved(k);
        const int64_t by = most_agreed(spans, lowest, std::max<int64_t>(0, lowest));
        if (by == 0)
            return;
        m_moves.emplace_back(k, moved(k) + by);
        m_moved_on[m_ref.video] += double(by) * m_step;
    }

    const Reference& m_ref;
    const RefTrack& m_video;
    const std::vector<std::vector<double>>& m_lost_at;
    const std::vector<double>& m_mean_duration;
    PictureSlots& m_pictures;
    std::vector<Sample>& m_samples;
    std::vector<Interleave> m_interleave;
    std::vector<size_t> m_pictures_before;           // per sample: pictures before it in the file
    std::vector<std::pair<size_t, int64_t>> m_moves; // from this picture on, moved by so many frames in all
    std::vector<int64_t> m_clock;                    // per track, in its time base from its first pts
    std::vector<double> m_lost;                      // per track, samples lost since its last one
    std::vector<bool> m_resync;
    std::vector<double> m_moved_on; // per track, seconds
    double m_step;                  // a video frame, seconds
};

} // namespace

std::vector<double> place_audio(const Reference& ref, const std::vector<std::vector<double>>& lost_at,
                                const std::vector<double>& mean_duration, PictureSlots& pictures,
                                std::vector<Sample>& samples)
{
    return AudioClock(ref, lost_at, mean_duration, pictures, samples).run();
}

} // namespace vidmend
