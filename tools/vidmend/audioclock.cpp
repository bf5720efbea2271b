#include "audioclock.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/rational.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

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
    // A writer's first chunk of a track often runs longer than the rest (it
    // holds what came before the pictures began): the bounds come from the
    // chunks after it, where there are enough of them.
    std::vector<double> settled_low(out.size(), k_inf), settled_high(out.size(), -k_inf);
    std::vector<int> state(out.size(), 0); // 0 not seen, 1 in its first chunk, 2 after it
    std::vector<size_t> settled(out.size(), 0);
    double previous = -k_inf;
    for (size_t i = 0; i < l.size(); ++i) {
        const int t = l[i].track;
        if (t == ref.video) {
            previous = double(l[i].timestamp) * vtb;
            for (int& s : state)
                s = s == 1 ? 2 : s;
            continue;
        }
        state[t] = std::max(state[t], 1);
        const double at = double(l[i].timestamp) * av_q2d(ref.tracks[t].time_base);
        const double low = std::isfinite(previous) ? at - previous : k_inf;
        const double high = std::isfinite(next[i]) ? at - next[i] : -k_inf;
        lowest[t] = std::min(lowest[t], low);
        highest[t] = std::max(highest[t], high);
        if (state[t] == 2) {
            settled_low[t] = std::min(settled_low[t], low);
            settled_high[t] = std::max(settled_high[t], high);
            ++settled[t];
        }
    }
    for (size_t t = 0; t < out.size(); ++t) {
        if (settled[t] >= 16) {
            lowest[t] = settled_low[t];
            highest[t] = settled_high[t];
        }
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
               const std::vector<double>& mean_duration, const std::vector<double>& mean_size,
               const std::vector<int64_t>& chunk, PictureSlots& pictures, std::vector<Sample>& samples)
        : m_ref(ref)
        , m_video(ref.tracks[ref.video])
        , m_lost_at(lost_at)
        , m_mean_duration(mean_duration)
        , m_mean_size(mean_size)
        , m_chunk(chunk)
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
                const bool unsure = k < n && (m_pictures.guessed[k] || m_pictures.wrap[k] > 0 ||
                                              lost_residue(i, m_ref.video) >= 0 || i == 0);
                if (unsure && last_spot_before(i, k))
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

    // A track's unit of time after damage: whole frames for a coded track, samples for PCM.
    int64_t unit_of(size_t i, int track) const
    {
        const RefTrack& t = m_ref.tracks[track];
        return t.frame_samples > 1 || t.sample_rate <= 0
                   ? length(m_samples[i])
                   : std::max<int64_t>(1, av_rescale_q(1, AVRational{1, t.sample_rate}, t.time_base));
    }

    // Per frame of a track's run from sample i up to the next damage, the units
    // to skip from `at` (in its time base) that put it between its pictures,
    // those from picture `from` on moved by `by` frames more.
    std::vector<std::pair<double, double>> spans_of(size_t i, int track, int64_t at, int64_t unit, size_t from,
                                                    int64_t by) const
    {
        const RefTrack& t = m_ref.tracks[track];
        const double tb = av_q2d(t.time_base);
        const Interleave& bounds = m_interleave[track];
        const double base = double(t.first_pts + at) * tb, scale = tb * double(unit);
        const auto picture = [&](size_t k) { return slot(k) + (k >= from ? double(by) * m_step : 0); };
        std::vector<std::pair<double, double>> spans;
        double into = 0;
        for (size_t j = i, seen = 0; j < m_samples.size() && seen < k_run_limit; ++j, ++seen) {
            if (j > i && !m_lost_at[j].empty())
                break;
            if (m_samples[j].track != track)
                continue;
            const size_t k = m_pictures_before[j];
            const double low = k > 0 ? picture(k - 1) + bounds.after_previous - into : -k_inf;
            const double high = k < m_pictures.sample.size() ? picture(k) + bounds.before_next - into : k_inf;
            if (std::isfinite(low) || std::isfinite(high))
                spans.emplace_back((low - base) / scale, (high - base) / scale);
            into += double(length(m_samples[j])) * tb;
        }
        return spans;
    }

    // Of a track cut by its writer into chunks of a fixed number of samples,
    // the samples damage before sample i took, modulo a chunk: as many as make
    // those from the start of its run before the damage (or of the recording)
    // up to the start of its first run after it whole chunks. -1 when either
    // start is not seen.
    int64_t lost_residue(size_t i, int track) const
    {
        const int64_t c = track < int(m_chunk.size()) ? m_chunk[size_t(track)] : 0;
        if (c < 2)
            return -1;
        int64_t before = 0, after = 0;
        for (size_t j = i; j-- > 0;) {
            if (!m_lost_at[j].empty())
                return -1;
            const bool mine = m_samples[j].track == track;
            before += mine;
            if (j == 0 || (mine && m_samples[j - 1].track != track))
                break;
            if (before > 4 * c)
                return -1;
        }
        for (size_t j = i;; ++j) {
            if (j >= m_samples.size() || (j > i && !m_lost_at[j].empty()) || after > 4 * c)
                return -1;
            const bool mine = m_samples[j].track == track;
            if (mine && j > i && m_samples[j - 1].track != track)
                break;
            after += mine;
        }
        return ((-(before + after)) % c + c) % c;
    }

    // The whole number at least `lowest` and `residue` modulo `every` (any
    // when `every` is 0) that misses the spans least; of those that miss by
    // no more than `slack` more, the one nearest to `guess`. With the spans'
    // sum of misses in `miss`.
    static int64_t least_missed(const std::vector<std::pair<double, double>>& spans, int64_t lowest, int64_t guess,
                                int64_t every, int64_t residue, double slack, double* miss = nullptr)
    {
        const int64_t step = every > 0 ? every : 1;
        const auto up = [&](int64_t x) { return every > 0 ? x + ((residue - x) % step + step) % step : x; };
        double low = k_inf, high = -k_inf;
        for (const auto& [a, b] : spans) {
            low = std::min(low, std::isfinite(a) ? a : b);
            high = std::max(high, std::isfinite(b) ? b : a);
        }
        const int64_t from = up(std::max(
            lowest, std::isfinite(low) ? int64_t(std::floor(std::min(low, double(guess)))) - step : guess - 8 * step));
        const int64_t to = std::max(from, std::isfinite(high) ? int64_t(std::ceil(std::max(high, double(guess)))) + step
                                                              : guess + 8 * step);
        // Far more candidates than that are wrong anyway: a coarse pass.
        const int64_t stride = std::max<int64_t>(step, (to - from) / 2048 / step * step);
        std::vector<std::pair<int64_t, double>> tried;
        double least = k_inf;
        for (int64_t x = from; x <= to; x += stride) {
            double m = 0;
            for (const auto& [a, b] : spans)
                m += double(x) < a ? a - double(x) : double(x) > b ? double(x) - b : 0;
            tried.emplace_back(x, m);
            least = std::min(least, m);
        }
        int64_t best = up(std::max(lowest, guess));
        double best_miss = tried.empty() ? 0 : k_inf;
        for (const auto& [x, m] : tried) {
            if (m <= least + slack + 1e-9 && (best_miss == k_inf || std::llabs(x - guess) < std::llabs(best - guess))) {
                best = x;
                best_miss = m;
            }
        }
        if (miss)
            *miss = best_miss;
        return best;
    }

    // What a stretch of frames may miss the writer's interleave by and still
    // be in place: a quarter of a chunk each (chunks drift against each other
    // along a file; a reference shows only where they lay in its first seconds).
    static double slack_of(const std::vector<std::pair<double, double>>& spans, int64_t every)
    {
        return every > 1 ? 0.25 * double(every) * double(spans.size()) : 0;
    }

    // Where a track takes up again after damage: by the bytes it lost, moved
    // as little as needed for its run up to the next damage to sit among the
    // pictures as the writer interleaves; cut into chunks of a fixed length,
    // by the whole chunks that fit that best.
    int64_t resume(size_t i, int track) const
    {
        const int64_t unit = unit_of(i, track);
        if (unit <= 0)
            return skip_by_bytes(track);
        // After a lost head a track may lie earlier or later than the pictures.
        const bool head = !m_lost_at.front().empty() && m_clock[track] == 0 && m_moved_on[track] == 0;
        const int64_t guess = skip_by_bytes(track) / unit;
        const std::vector<std::pair<double, double>> spans =
            spans_of(i, track, m_clock[track], unit, m_pictures.sample.size(), 0);
        const int64_t residue = lost_residue(spot_before(i), track);
        if (residue >= 0) {
            const int64_t chunk = m_chunk[size_t(track)];
            return least_missed(spans, 0, guess, chunk, residue, slack_of(spans, chunk)) * unit;
        }
        return most_agreed(spans, head ? -(int64_t(1) << 40) : 0, head ? 0 : guess) * unit;
    }

    // The sample right after the damage that sample i is the first of its track after.
    size_t spot_before(size_t i) const
    {
        while (i > 0 && m_lost_at[i].empty())
            --i;
        return i;
    }

    // The move, at least `lowest` and `residue` modulo `every` (any when 0),
    // that lets the most frames of audio after the damage before sample i,
    // each track gone on by its lost bytes, sit among the pictures from k on.
    int64_t moved_around_audio(size_t i, size_t k, int64_t lowest, int64_t every, int64_t residue) const
    {
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
        const int64_t by = most_agreed(spans, lowest, std::max<int64_t>(0, lowest));
        if (every <= 1)
            return by;
        // By whole wraps: the nearest to where the audio wants them.
        const int64_t wraps = (by - residue + (by >= residue ? every / 2 : -(every / 2))) / every;
        return std::max(residue + wraps * every, residue + (lowest - residue + every - 1) / every * every);
    }

    // The pictures from k on, right after the damage before sample i, were
    // placed by the lost bytes alone (a new period), or by order counts that
    // may have wrapped, or a writer that cuts the video into chunks of a fixed
    // length shows how many it lost modulo a chunk: moves them, by as few frames
    // as will do, so that the audio after the damage sits around them, each
    // track by the frames its own lost bytes held or by the whole chunks that
    // fit best.
    void move_pictures(size_t i, size_t k)
    {
        const std::vector<int64_t>& rank = m_pictures.rank;
        const size_t n = m_pictures.sample.size();
        // Decoding order stays; pictures that go on with their period move by whole wraps.
        const int64_t lowest = k > 0 ? rank[k - 1] + moved(k - 1) + 1 - rank[k] - moved(k) : 0;
        int64_t every = k < n && !m_pictures.guessed[k] ? m_pictures.wrap[k] : 0;
        int64_t residue = 0;
        const int64_t chunk = lost_residue(i, m_ref.video);
        if (chunk >= 0) {
            // Pictures it now says were lost, against those the chunks allow.
            const int64_t now = k > 0 ? rank[k] + moved(k) - rank[k - 1] - moved(k - 1) - 1 : 0;
            const int64_t c = m_chunk[size_t(m_ref.video)];
            const int64_t want = ((chunk - now) % c + c) % c;
            // Both at once: the first move that is whole wraps and fits the chunks, then every common multiple.
            const int64_t wraps = every > 0 ? every : 1;
            int64_t first = -1;
            for (int64_t m = want; m < c * wraps && first < 0; m += c)
                if (m % wraps == 0)
                    first = m;
            if (first < 0)
                return;
            every = std::lcm(c, wraps);
            residue = first % every;
        } else if (k == 0 ? i > 0 : every == 0 && !m_pictures.guessed[k]) {
            return;
        }
        // Per audio track after the damage: where its first sample is, and the frames its lost bytes held.
        struct Lane
        {
            size_t first;
            int64_t unit, guess, chunk, residue;
            double bytes; // a unit's
        };
        std::vector<Lane> lanes;
        for (int a : m_ref.audio) {
            size_t j = i;
            while (j < m_samples.size() && j - i < k_run_limit && m_samples[j].track != a &&
                   (j == i || m_lost_at[j].empty()))
                ++j;
            if (j >= m_samples.size() || m_samples[j].track != a || (j > i && !m_lost_at[j].empty()))
                continue;
            const int64_t unit = unit_of(j, a);
            const RefTrack& t = m_ref.tracks[size_t(a)];
            const double samples = t.sample_rate > 0 ? double(unit) * av_q2d(t.time_base) * t.sample_rate : 1;
            const double bytes = m_mean_size[size_t(a)] * samples / std::max(1.0, m_mean_duration[size_t(a)]);
            if (unit > 0)
                lanes.push_back({j, unit, skip_by_bytes(a) / unit, m_chunk[size_t(a)], lost_residue(i, a), bytes});
        }
        if (lanes.empty())
            return;
        const bool anchored =
            i == 0 || std::any_of(lanes.begin(), lanes.end(), [](const Lane& lane) { return lane.residue >= 0; });
        if (!anchored) {
            // No track's place is sure by itself: the audio goes on by the
            // frames its lost bytes held, and the pictures of a new period
            // move as little as will do to sit around it. Those that go on
            // with theirs stay where their order counts and bytes put them:
            // the audio's bytes tell no better.
            if (k < n && !m_pictures.guessed[k])
                return;
            const int64_t by = moved_around_audio(i, k, lowest, every, every > 1 ? residue : 0);
            if (by != 0) {
                m_moves.emplace_back(k, moved(k) + by);
                m_moved_on[m_ref.video] += double(by) * m_step;
            }
            return;
        }
        // Each move as the audio that fits it best misses it, in seconds, and
        // what it may miss by; the least missed, or within that of it the one
        // nearest no move.
        double slack = 0, lost_bytes = 0;
        const int64_t before = k > 0 ? rank[k] + moved(k) - rank[k - 1] - moved(k - 1) - 1 : 0;
        const auto missed = [&](int64_t by) {
            double total = 0;
            slack = 0;
            lost_bytes = double(before + by) * m_mean_size[size_t(m_ref.video)];
            for (const Lane& lane : lanes) {
                double miss = 0;
                const int track = m_samples[lane.first].track;
                const auto spans = spans_of(lane.first, track, m_clock[track], lane.unit, k, by);
                const double seconds = double(lane.unit) * av_q2d(m_ref.tracks[track].time_base);
                int64_t skip = 0;
                if (lane.residue >= 0) {
                    skip = least_missed(spans, 0, lane.guess, lane.chunk, lane.residue, slack_of(spans, lane.chunk),
                                        &miss);
                    miss *= seconds;
                } else {
                    // Free to take any frame, a track sits where most of its frames agree;
                    // what counts is how many do not, not by how much (a few pictures'
                    // slots are a frame out).
                    skip = most_agreed(spans, i == 0 ? -(int64_t(1) << 40) : 0, lane.guess);
                    miss = double(std::count_if(spans.begin(), spans.end(),
                                                [&](const auto& span) {
                                                    return double(skip) < span.first - 1e-6 ||
                                                           double(skip) > span.second + 1e-6;
                                                })) *
                           m_step;
                }
                total += miss;
                slack += slack_of(spans, lane.residue >= 0 ? lane.chunk : 0) * seconds;
                lost_bytes += double(std::max<int64_t>(0, skip)) * lane.bytes;
            }
            return total;
        };
        const int64_t step = every > 0 ? every : 1;
        const auto up = [&](int64_t x) { return every > 0 ? x + ((residue - x) % step + step) % step : x; };
        // As far as the bytes a damaged spot may have held go: a few chunks or
        // wraps, or for a new period a few of the reference's longest.
        const int64_t reach = std::max<int64_t>(4 * step, 2 * std::max<int64_t>(m_video.longest_period, 50));
        struct Tried
        {
            int64_t by;
            double miss, bytes;
        };
        std::vector<Tried> tried;
        double least = k_inf, allowed = 0;
        for (int64_t by = up(lowest); by <= lowest + reach; by += step) {
            const double m = missed(by);
            tried.push_back({by, m, lost_bytes});
            least = std::min(least, m);
            allowed = std::max(allowed, slack);
        }
        // Moves that put the audio at the same phase against the pictures fit alike, to rounding.
        allowed = std::max(allowed, 0.02 * least + 1e-4);
        // Of the moves that fit as well, the one whose lost samples make up the bytes the damage took best
        // (a deletion takes bytes that leave no trace: as few as fit).
        const double bytes = double(m_samples[i].loss);
        int64_t best = 0;
        double best_off = k_inf;
        for (const Tried& t : tried) {
            const double off = std::fabs(t.bytes - bytes);
            if (t.miss <= least + allowed + 1e-9 && off < best_off) {
                best = t.by;
                best_off = off;
            }
        }
        if (best == 0)
            return;
        m_moves.emplace_back(k, moved(k) + best);
        m_moved_on[m_ref.video] += double(best) * m_step;
    }

    const Reference& m_ref;
    const RefTrack& m_video;
    const std::vector<std::vector<double>>& m_lost_at;
    const std::vector<double>& m_mean_duration;
    const std::vector<double>& m_mean_size;
    const std::vector<int64_t>& m_chunk;
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
                                const std::vector<double>& mean_duration, const std::vector<double>& mean_size,
                                const std::vector<int64_t>& chunk, PictureSlots& pictures, std::vector<Sample>& samples)
{
    return AudioClock(ref, lost_at, mean_duration, mean_size, chunk, pictures, samples).run();
}

} // namespace vidmend
