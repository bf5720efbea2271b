#include "timestamps.h"

#include "audioclock.h"
#include "videosyntax.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/rational.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <numeric>
#include <optional>
#include <unordered_set>

namespace vidmend {

namespace {

// Display positions of one period, starting at 0.
std::vector<int64_t> period_order(const int32_t* poc, size_t n, int32_t step)
{
    std::vector<int64_t> out(n);
    const int32_t base = *std::min_element(poc, poc + n);
    bool spaced = step > 0;
    int64_t span = 0;
    for (size_t i = 0; i < n && spaced; ++i) {
        const int64_t d = int64_t(poc[i]) - base;
        spaced = d % step == 0;
        out[i] = d / (spaced ? step : 1);
        span = std::max(span, out[i]);
    }
    if (spaced && span < int64_t(4 * n + 16)) {
        std::vector<int64_t> sorted(out);
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end())
            return out;
    }
    // Odd counts: fall back to plain ranks.
    std::vector<size_t> idx(n);
    std::iota(idx.begin(), idx.end(), 0);
    std::stable_sort(idx.begin(), idx.end(), [poc](size_t a, size_t b) { return poc[a] < poc[b]; });
    for (size_t r = 0; r < n; ++r)
        out[idx[r]] = int64_t(r);
    return out;
}

} // namespace

namespace {

std::vector<size_t> period_starts(const std::vector<bool>& period_start)
{
    std::vector<size_t> starts;
    for (size_t i = 0; i < period_start.size(); ++i)
        if (i == 0 || period_start[i])
            starts.push_back(i);
    starts.push_back(period_start.size());
    return starts;
}

// The usual distance between neighbouring counts (2 for most H.264 streams, 1 for HEVC).
int32_t usual_step(const std::vector<int32_t>& poc, const std::vector<size_t>& starts)
{
    std::map<int32_t, size_t> gaps;
    for (size_t p = 0; p + 1 < starts.size(); ++p) {
        std::vector<int32_t> sorted(poc.begin() + long(starts[p]), poc.begin() + long(starts[p + 1]));
        std::sort(sorted.begin(), sorted.end());
        for (size_t i = 1; i < sorted.size(); ++i)
            if (sorted[i] > sorted[i - 1])
                ++gaps[sorted[i] - sorted[i - 1]];
    }
    int32_t step = 1;
    size_t best = 0;
    for (const auto& [gap, count] : gaps)
        if (count > best)
            step = gap, best = count;
    return step;
}

} // namespace

std::vector<int64_t> display_order(const std::vector<int32_t>& poc, const std::vector<bool>& period_start)
{
    const size_t n = poc.size();
    const std::vector<size_t> starts = period_starts(period_start);
    const int32_t step = usual_step(poc, starts);

    std::vector<int64_t> display(n);
    int64_t offset = 0;
    for (size_t p = 0; p + 1 < starts.size(); ++p) {
        const size_t b = starts[p], e = starts[p + 1];
        const std::vector<int64_t> local = period_order(poc.data() + b, e - b, step);
        int64_t last = 0;
        for (size_t i = b; i < e; ++i) {
            display[i] = offset + local[i - b];
            last = std::max(last, local[i - b]);
        }
        offset += last + 1;
    }
    return display;
}

int reorder_delay(const std::vector<int64_t>& display)
{
    int64_t delay = 0;
    for (size_t i = 0; i < display.size(); ++i)
        delay = std::max(delay, int64_t(i) - display[i]);
    return int(delay);
}

namespace {

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// How the writer laid the tracks out, from the undamaged stretches: runs of
// one track's samples, their usual length, and the usual sample size.
struct Layout
{
    std::vector<double> run;        // usual samples in a run, per track
    std::vector<double> size;       // average sample size, per track
    std::vector<double> duration;   // average sample duration as the walk gave it, per track
    std::vector<double> plain_size; // average size of the samples that are not key pictures, per track
    std::vector<bool> present;
    // Per track, the samples in each of its runs where every whole run holds
    // as many (a writer that cuts each track into chunks of a fixed length), 0 otherwise.
    std::vector<int64_t> chunk;

    Layout(const std::vector<Sample>& samples, size_t tracks)
        : run(tracks, 1)
        , size(tracks, 1)
        , duration(tracks, 0)
        , plain_size(tracks, 0)
        , present(tracks, false)
        , chunk(tracks, 0)
    {
        std::vector<std::vector<double>> runs(tracks);
        std::vector<double> bytes(tracks, 0), count(tracks, 0), plain(tracks, 0);
        std::vector<std::vector<int64_t>> whole(tracks);
        size_t begin = 0, since_loss = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (samples[i].loss)
                since_loss = i;
            const Sample& s = samples[i];
            bytes[s.track] += s.size;
            if (!s.key) {
                plain_size[s.track] += s.size;
                plain[s.track] += 1;
            }
            duration[s.track] += double(s.duration);
            count[s.track] += 1;
            present[s.track] = true;
            const bool last = i + 1 == samples.size() || samples[i + 1].track != s.track;
            if (!last)
                continue;
            // Runs next to damage or at the ends are no measure.
            const bool clean =
                begin > 0 && i + 1 < samples.size() && samples[begin].loss == 0 && samples[i + 1].loss == 0;
            if (clean)
                runs[s.track].push_back(double(i + 1 - begin));
            // A track's first chunk may hold more than the rest.
            if (clean && since_loss < begin && count[s.track] > double(i + 1 - begin))
                whole[s.track].push_back(int64_t(i + 1 - begin));
            begin = i + 1;
        }
        for (size_t t = 0; t < tracks; ++t) {
            const std::vector<int64_t>& w = whole[t];
            const int64_t least = w.empty() ? 0 : *std::min_element(w.begin(), w.end());
            if (w.size() >= 3 && least >= 2 &&
                std::all_of(w.begin(), w.end(), [&](int64_t n) { return n % least == 0; }))
                chunk[t] = least;
        }
        for (size_t t = 0; t < tracks; ++t) {
            // The mean, not the median: a track that alternates runs of one and
            // two frames loses 1.5 a round.
            if (!runs[t].empty())
                run[t] = std::max(1.0, std::accumulate(runs[t].begin(), runs[t].end(), 0.0) / double(runs[t].size()));
            if (count[t] > 0) {
                size[t] = std::max(1.0, bytes[t] / count[t]);
                duration[t] /= count[t];
            }
            plain_size[t] = plain[t] > 0 ? plain_size[t] / plain[t] : size[t];
        }
    }

    // Samples per track that `bytes` lost between samples x and y (indexes
    // into `samples`; x may be -1) held: the rest of x's run, the start of
    // y's run, and whole rounds of runs of every track in between.
    std::vector<double> loss(const std::vector<Sample>& samples, long x, size_t y, double bytes) const
    {
        std::vector<double> lost(run.size(), 0);
        const int ty = samples[y].track;
        size_t after = 0;
        while (y + after < samples.size() && samples[y + after].track == ty &&
               (after == 0 || samples[y + after].loss == 0))
            ++after;
        size_t before = 0;
        int tx = -1;
        if (x >= 0) {
            tx = samples[x].track;
            while (x - long(before) >= 0 && samples[x - before].track == tx &&
                   (before == 0 || samples[x - before + 1].loss == 0))
                ++before;
        }
        // Damage inside one run, if the bytes fit in what the run lacks.
        if (tx == ty && double(before + after) + bytes / size[ty] <= 1.5 * run[ty] + 1) {
            lost[ty] = bytes / size[ty];
            return lost;
        }
        const double tail = tx >= 0 ? std::max(0.0, run[tx] - double(before)) : 0;
        const double head = std::max(0.0, run[ty] - double(after));
        const double edge = (tx >= 0 ? tail * size[tx] : 0) + head * size[ty];
        if (edge >= bytes) {
            const double f = edge > 0 ? bytes / edge : 0;
            if (tx >= 0)
                lost[tx] += tail * f;
            lost[ty] += head * f;
            return lost;
        }
        if (tx >= 0)
            lost[tx] += tail;
        lost[ty] += head;
        double round = 0;
        for (size_t t = 0; t < run.size(); ++t)
            if (present[t])
                round += run[t] * size[t];
        for (size_t t = 0; t < run.size(); ++t)
            if (present[t] && round > 0)
                lost[t] += (bytes - edge) / round * run[t];
        return lost;
    }
};

// The interleave of the reference, as seen at each frame of its first audio
// track: the decoding time of the last picture before it in the file minus
// the frame's own time. Its median is where a writer puts audio against
// video, its spread how far a chunked layout lets the two part for a while.
struct Interleave
{
    double median = 0;
    double band = 0;
};

std::optional<Interleave> reference_interleave(const Reference& ref)
{
    const double vtb = av_q2d(ref.tracks[ref.video].time_base);
    const int a0 = ref.audio.front();
    const double atb = av_q2d(ref.tracks[a0].time_base);
    std::vector<double> gaps;
    std::optional<double> video;
    for (const RefSample& s : ref.layout) {
        if (s.track == ref.video)
            video = double(s.timestamp) * vtb;
        else if (s.track == a0 && video)
            gaps.push_back(*video - double(s.timestamp) * atb);
    }
    if (gaps.size() < 8)
        return std::nullopt;
    std::sort(gaps.begin(), gaps.end());
    const size_t trim = gaps.size() / 40;
    return Interleave{gaps[gaps.size() / 2], gaps[gaps.size() - 1 - trim] - gaps[trim]};
}

// One measure of the video against the audio: after a frame of the first
// audio track, the decoding slot of the last picture before it in the file
// (in frames, at the reference's delay), and the time that frame says that
// picture was decoded at.
struct ClockPoint
{
    double slot;
    double time;
    size_t part = 0; // damaged spots before it
};

// Least squares line time = c + b * slot.
std::pair<double, double> fit_line(const std::vector<ClockPoint>& points, size_t from, size_t to)
{
    double su = 0, sy = 0, suu = 0, suy = 0;
    const double n = double(to - from);
    for (size_t i = from; i < to; ++i) {
        su += points[i].slot, sy += points[i].time;
        suu += points[i].slot * points[i].slot, suy += points[i].slot * points[i].time;
    }
    const double den = n * suu - su * su;
    const double b = den > 0 ? (n * suy - su * sy) / den : 0;
    return {(sy - b * su) / n, b};
}

// A frame duration within 0.3% of a usual rate's is that rate's.
double usual_duration(double seconds)
{
    for (const double rate : {24000.0 / 1001, 24.0, 25.0, 30000.0 / 1001, 30.0, 48.0, 50.0, 60000.0 / 1001, 60.0, 10.0,
                              12.0, 12.5, 15.0, 20.0})
        if (std::fabs(seconds * rate - 1) < 0.003)
            return 1 / rate;
    return seconds;
}

// The clock points along the file, and for each picture the damaged spots before it.
struct ClockTrail
{
    std::vector<ClockPoint> points;
    std::vector<size_t> part_of;
};

// A point after each frame of the first audio track that follows a picture
// with no damage between them, up to the last picture.
ClockTrail clock_trail(const Reference& ref, const std::vector<Sample>& samples, const std::vector<size_t>& pictures,
                       const std::vector<int64_t>& rank, int64_t delay, double interleave)
{
    const int a0 = ref.audio.front();
    const double atb = av_q2d(ref.tracks[a0].time_base);
    ClockTrail trail;
    std::vector<ClockPoint>& points = trail.points;
    trail.part_of.assign(pictures.size(), 0);
    size_t k = 0, followed = 0, part = 0;
    bool seen = false, clean = false;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (samples[i].loss) {
            clean = false;
            ++part;
        }
        if (k < pictures.size() && pictures[k] == i) {
            seen = clean = true;
            followed = points.size();
            trail.part_of[k++] = part;
            continue;
        }
        if (samples[i].track != a0 || !seen || !clean)
            continue;
        points.push_back({double(rank[k - 1] - delay), double(samples[i].pts) * atb + interleave, part});
    }
    // Sound the pictures have ended before tells nothing of their rate.
    points.resize(followed);
    return trail;
}

// The video at the reference's rate held against the audio at the clock
// points (follow_audio_clock): whether it moves off, why, and the line the
// pictures follow when it does.
class AudioClockFit
{
public:
    AudioClockFit(const Reference& ref, const Interleave& interleave, const std::vector<ClockPoint>& points)
        : m_points(points)
        , m_n(points.size())
        , m_interleave(interleave)
        , m_sound(ref.tracks[ref.audio.front()])
    {
        const RefTrack& video = ref.tracks[ref.video];
        m_vtb = av_q2d(video.time_base);
        m_step = double(video.step) * m_vtb;
        m_first = double(video.first_pts) * m_vtb;
        // Where the video at the reference's rate lies against the audio, per quarter of the points.
        const std::vector<double> quarter = quarter_offsets(1);
        m_moved = quarter[3] - quarter[0];
        for (size_t q = 1; q < 4; ++q)
            m_steady = m_steady && (quarter[q] - quarter[q - 1]) * m_moved > 0;
        m_allowed = interleave.band + 2 * m_step;
        m_span = points.back().time - points.front().time;
    }

    // Sound at a rate that reads like the reference's (alike_rates) moves the
    // video off it by the rates' ratio: counted at its own rate it keeps to
    // the pictures at the reference's frame rate, within the interleave,
    // however unevenly the writer's chunks make it look along the way.
    bool drift_tells_sound_rate(Timing& timing) const
    {
        // A short recording does not move off by more than the interleave allows:
        // a drift beyond half of it is enough to try, as the rate counted must do twice as well.
        if (std::fabs(m_moved) <= (m_interleave.band + m_step) / 2)
            return false;
        int best = 0;
        double least = m_allowed;
        for (const int rate : alike_rates(m_sound)) {
            const std::vector<double> at = quarter_offsets(double(m_sound.sample_rate) / rate);
            const auto [low, high] = std::minmax_element(at.begin(), at.end());
            if (*high - *low <= least && std::fabs(at[3] - at[0]) * 2 < std::fabs(m_moved))
                best = rate, least = *high - *low;
        }
        if (best == 0)
            return false;
        timing.audio_rate = best;
        char why[200];
        std::snprintf(why, sizeof why,
                      "counted at %d Hz the sound keeps to the pictures at the reference's %.3f fps (%.3f s "
                      "apart at four points over %.1f s, %.3f s at %d Hz)",
                      best, 1 / m_step, least, m_span, std::fabs(m_moved), m_sound.sample_rate);
        timing.clock_why = why;
        return true;
    }

    // A rate that differs moves the video off its audio evenly, stretch by
    // stretch; bytes of damage taken for sound move it at a few places only.
    bool keeps_to_audio(Timing& timing) const
    {
        std::vector<ClockPoint> errors(m_points);
        for (ClockPoint& e : errors)
            e.time = m_first + e.slot * m_step - e.time;
        const double overall = fit_line(errors, 0, m_n).second;
        const size_t windows = m_n >= 128 ? 8 : 4;
        size_t even = 0;
        for (size_t w = 0; w < windows; ++w) {
            const double local = fit_line(errors, m_n * w / windows, m_n * (w + 1) / windows).second;
            even += std::fabs(local - overall) < 0.5 * std::fabs(overall);
        }
        if (m_steady && even * 4 >= windows * 3 && std::fabs(m_moved) > m_allowed)
            return false;
        char why[200];
        std::snprintf(why, sizeof why,
                      "the video keeps to its audio along the file: %.3f s apart at four points "
                      "over %.1f s (the writer's interleave allows %.3f s), growing evenly in %zu of %zu stretches",
                      std::fabs(m_moved), m_span, m_allowed, even, windows);
        timing.clock_why = why;
        return true;
    }

    // Lays the pictures out on the audio's clock, or finds the sound's own
    // rate in the line they follow.
    void lay_out(std::vector<Sample>& samples, const std::vector<size_t>& pictures, const std::vector<int64_t>& display,
                 const std::vector<int64_t>& rank, int64_t delay, const std::vector<size_t>& part_of,
                 Timing& timing) const
    {
        // Damage leaves the pictures it took a guess: between damaged spots each
        // stretch keeps its own offset from the audio, all share one rate.
        const Parts parts = part_sums();
        const double measured = shared_slope(parts);
        const double b = usual_duration(measured);
        // Pictures that run backwards or stand still are no rate (bytes that only look like a stream).
        if (!(b > m_vtb) || !std::isfinite(b))
            return;
        std::map<size_t, double> offsets; // per stretch with enough points to tell
        for (const auto& [id, m] : parts)
            if (m[2] >= 4 || parts.size() == 1)
                offsets[id] = (m[1] - b * m[0]) / m[2];
        if (offsets.empty())
            return;
        // A stretch with too few points of its own keeps the one before it.
        const auto offset = [&](size_t id) {
            const auto it = offsets.upper_bound(id);
            return it == offsets.begin() ? it->second : std::prev(it)->second;
        };
        const bool fits = line_fits(b, offset);
        if (fits && b == measured && line_tells_sound_rate(measured, timing))
            return;
        const std::vector<ClockPoint> knots = fits ? std::vector<ClockPoint>() : stretch_knots();
        // Seconds of a decoding slot: on the line, or between the knots (past the
        // ends, at the slope of the nearest stretch).
        const auto at = [&](double u) {
            size_t hi = size_t(std::upper_bound(knots.begin(), knots.end(), u,
                                                [](double v, const ClockPoint& p) { return v < p.slot; }) -
                               knots.begin());
            hi = std::clamp<size_t>(hi, 1, knots.size() - 1);
            const ClockPoint &l = knots[hi - 1], &h = knots[hi];
            return l.time + (h.time - l.time) * (u - l.slot) / std::max(1e-9, h.slot - l.slot);
        };
        const double ticks = b / m_vtb;
        const auto tick = [&](double u, size_t id) -> int64_t {
            return knots.size() < 2 ? std::llround(offset(id) / m_vtb) + std::llround(u * ticks)
                                    : std::llround(at(u) / m_vtb);
        };
        int64_t last_dts = INT64_MIN;
        for (size_t j = 0; j < pictures.size(); ++j) {
            Sample& s = samples[pictures[j]];
            s.pts = tick(double(display[j]), part_of[j]);
            s.dts = std::min<int64_t>(s.pts, tick(double(rank[j] - delay), part_of[j]));
            s.dts = std::max(s.dts, last_dts + 1);
            s.pts = std::max(s.pts, s.dts);
            s.duration = std::max<int64_t>(1, std::llround(ticks));
            last_dts = s.dts;
        }
        timing.audio_clock = true;
        timing.frame_rate = 1 / b;
        char why[200];
        std::snprintf(why, sizeof why,
                      "the video ran at %.3f fps against the reference's %.3f: %.3f s off its "
                      "audio over %.1f s, growing at four points%s",
                      1 / b, 1 / m_step, std::fabs(m_moved), m_span,
                      knots.size() >= 2 ? ", the rate changing along the file" : "");
        timing.clock_why = why;
    }

private:
    using Parts = std::map<size_t, std::array<double, 3>>; // per stretch: slot and time sums, count

    // The medians of the video's offset from the audio, counted at `scale`
    // times its rate, per quarter of the points.
    std::vector<double> quarter_offsets(double scale) const
    {
        std::vector<double> at(4);
        for (size_t q = 0; q < 4; ++q) {
            std::vector<double> errors;
            for (size_t i = m_n * q / 4; i < m_n * (q + 1) / 4; ++i)
                errors.push_back(m_first + m_points[i].slot * m_step - m_points[i].time * scale);
            at[q] = median(errors);
        }
        return at;
    }

    Parts part_sums() const
    {
        Parts parts;
        for (const ClockPoint& p : m_points) {
            std::array<double, 3>& m = parts[p.part];
            m[0] += p.slot, m[1] += p.time, m[2] += 1;
        }
        return parts;
    }

    // The one slope of lines through each stretch's points.
    double shared_slope(const Parts& parts) const
    {
        double num = 0, den = 0;
        for (const ClockPoint& p : m_points) {
            const std::array<double, 3>& m = parts.at(p.part);
            num += (p.slot - m[0] / m[2]) * (p.time - m[1] / m[2]);
            den += (p.slot - m[0] / m[2]) * (p.slot - m[0] / m[2]);
        }
        return den > 0 ? num / den : fit_line(m_points, 0, m_n).second;
    }

    // A line that misses a quarter of the points by more than the interleave
    // lets them part: the rate changed along the file, so each stretch gets its own.
    template<typename Offset>
    bool line_fits(double b, const Offset& offset) const
    {
        bool fits = true;
        for (size_t q = 0; q < 4; ++q) {
            std::vector<double> misses;
            for (size_t i = m_n * q / 4; i < m_n * (q + 1) / 4; ++i)
                misses.push_back(m_points[i].time - (offset(m_points[i].part) + b * m_points[i].slot));
            fits = fits && std::fabs(median(misses)) <= m_interleave.band / 2 + m_step;
        }
        return fits;
    }

    // One steady rate that is the reference's or a usual one once the sound
    // is counted at a rate that reads like the reference's: that is the
    // sound's rate (this video's own rate is an unusual one).
    bool line_tells_sound_rate(double measured, Timing& timing) const
    {
        for (const int rate : alike_rates(m_sound)) {
            const double ratio = double(rate) / double(m_sound.sample_rate);
            const double own = measured / ratio;
            if (usual_duration(own) == own && std::fabs(own / m_step - 1) > 0.003)
                continue;
            timing.audio_rate = rate;
            char why[200];
            std::snprintf(why, sizeof why, "on the audio's clock the video ran at %.3f fps, %.3f fps times %d/%d",
                          1 / measured, 1 / own, m_sound.sample_rate, rate);
            timing.clock_why = why;
            return true;
        }
        return false;
    }

    // The mean point of each eighth of the points (of 32 at least), for a
    // rate that changes along the file.
    std::vector<ClockPoint> stretch_knots() const
    {
        std::vector<ClockPoint> knots;
        const size_t stretch = std::max<size_t>(32, m_n / 8);
        for (size_t from = 0; from < m_n; from += stretch) {
            const size_t to = std::min(m_n, from + stretch);
            double su = 0, sy = 0;
            for (size_t i = from; i < to; ++i)
                su += m_points[i].slot, sy += m_points[i].time;
            knots.push_back({su / double(to - from), sy / double(to - from)});
        }
        return knots;
    }

    const std::vector<ClockPoint>& m_points;
    const size_t m_n;
    const Interleave& m_interleave;
    const RefTrack& m_sound;
    double m_vtb = 0;
    double m_step = 0;    // the reference's frame duration, in seconds
    double m_first = 0;   // the reference's first picture time, in seconds
    double m_moved = 0;   // how far the video moved off the audio from the first quarter to the last
    bool m_steady = true; // moving one way from quarter to quarter
    double m_allowed = 0; // what the interleave lets the two part by
    double m_span = 0;    // seconds the points cover
};

// Tells a video whose rate differs from the reference's from one that only
// lags its audio by the writer's chunks, and lays it out on the audio's clock
// when it does: at several points along the file, the video at the
// reference's rate is held against the audio, less what the reference's own
// interleave puts between them. A real difference grows from point to point
// and beyond the interleave's spread; a lag (a chunk of audio not yet written
// at a cut) does neither. On the audio's clock the pictures follow a line
// fitted through all the points (or, where the rate changes along the file,
// through stretches of them) at the recording's own rate, rounded to the
// track's time base: no picture takes an audio frame's jitter.
void follow_audio_clock(const Reference& ref, std::vector<Sample>& samples, const std::vector<size_t>& pictures,
                        const std::vector<int64_t>& display, const std::vector<int64_t>& rank, int64_t delay,
                        Timing& timing)
{
    const std::optional<Interleave> interleave = reference_interleave(ref);
    if (!interleave)
        return;
    const ClockTrail trail = clock_trail(ref, samples, pictures, rank, delay, interleave->median);
    if (trail.points.size() < 32)
        return;
    const AudioClockFit fit(ref, *interleave, trail.points);
    if (fit.drift_tells_sound_rate(timing) || fit.keeps_to_audio(timing))
        return;
    fit.lay_out(samples, pictures, display, rank, delay, trail.part_of, timing);
}

// The picture after the period that begins at `first`.
size_t period_end(const std::vector<bool>& starts, size_t first)
{
    size_t end = first + 1;
    while (end < starts.size() && !starts[end])
        ++end;
    return end;
}

// Within a period the order counts tell how many pictures the damaged
// spots in it took, better than their bytes: the period's empty display
// slots are shared out among its spots by their bytes' estimate, and what
// a spot lost beyond its pictures was audio.
void settle_video_losses(const std::vector<Sample>& samples, const std::vector<size_t>& pictures,
                         const std::vector<bool>& starts, const std::vector<int64_t>& display, const Layout& layout,
                         int video, int64_t reorder, std::vector<std::vector<double>>& lost_at)
{
    for (size_t first = 0; first < pictures.size();) {
        const size_t end = period_end(starts, first);
        std::vector<int64_t> shown(display.begin() + long(first), display.begin() + long(end));
        std::sort(shown.begin(), shown.end());
        // Where the data ends, the pictures still to come in display order
        // were cut off, not lost to damage.
        int64_t last = shown.back();
        if (end == pictures.size())
            last -= reorder + 1;
        const int64_t empty =
            last - shown.front() + 1 - int64_t(std::upper_bound(shown.begin(), shown.end(), last) - shown.begin());
        std::vector<size_t> spots;
        double guessed = 0;
        for (size_t i = pictures[first] + 1; i <= pictures[end - 1]; ++i) {
            if (!lost_at[i].empty()) {
                spots.push_back(i);
                guessed += lost_at[i][video];
            }
        }
        first = end;
        if (spots.empty() || empty < 0)
            continue;
        int64_t given = 0;
        for (size_t n = 0; n < spots.size(); ++n) {
            std::vector<double>& lost = lost_at[spots[n]];
            const int64_t count =
                n + 1 == spots.size()
                    ? empty - given
                    : std::min<int64_t>(empty - given,
                                        std::llround(guessed > 0 ? double(empty) * lost[video] / guessed : 0));
            given += count;
            // The bytes the estimate gave the audio, shared out as it did.
            double audio_bytes = 0, left = double(samples[spots[n]].loss) - double(count) * layout.plain_size[video];
            for (size_t t = 0; t < lost.size(); ++t)
                if (int(t) != video)
                    audio_bytes += lost[t] * layout.size[t];
            for (size_t t = 0; t < lost.size(); ++t)
                if (int(t) != video && audio_bytes > 0)
                    lost[t] = std::max(0.0, left) * (lost[t] * layout.size[t] / audio_bytes) / layout.size[t];
            lost[video] = double(count);
        }
    }
}

// A random access point lost to damage leaves the pictures after it
// counting again from its count, among counts their period has already
// used: they begin a period of their own at the first picture after that
// damage.
void mark_lost_starts(const std::vector<int32_t>& poc, const std::vector<bool>& after_damage, std::vector<bool>& starts)
{
    std::unordered_set<int32_t> seen;
    size_t resumed = SIZE_MAX; // the last picture after damage in this period
    for (size_t k = 0; k < poc.size(); ++k) {
        if (starts[k]) {
            seen.clear();
            resumed = SIZE_MAX;
        } else if (after_damage[k]) {
            resumed = k;
        }
        if (seen.insert(poc[k]).second || resumed == SIZE_MAX)
            continue;
        starts[resumed] = true;
        seen.clear();
        for (size_t j = resumed; j <= k; ++j)
            seen.insert(poc[j]);
        resumed = SIZE_MAX;
    }
}

// A period far longer than any of the reference's holds damage where a
// key picture was lost without a trace in the order counts (frame numbers
// that wrap, say): it is split at the damaged spot nearest to where the
// reference's longest period would end. `lost` counts the pictures lost
// before each.
void split_long_periods(const std::vector<bool>& after_damage, const std::vector<double>& lost, int64_t longest,
                        std::vector<bool>& starts)
{
    if (longest <= 0)
        return;
    const double allowed = double(longest) * 1.1 + 2;
    for (size_t first = 0; first < starts.size();) {
        const size_t end = period_end(starts, first);
        double length = 1, best_miss = allowed;
        size_t split = 0;
        for (size_t k = first + 1; k < end; ++k) {
            // How far from the pictures lost here the period would end: none when it ends among them.
            const double miss = std::max({0.0, length - double(longest), double(longest) - length - lost[k]});
            length += lost[k];
            if (after_damage[k] && miss < best_miss) {
                best_miss = miss;
                split = k;
            }
            length += 1;
        }
        if (length > allowed && split > 0) {
            starts[split] = true;
            continue; // the same period again, now shorter
        }
        first = end;
    }
}

// Order counts derived from a number that wraps (frame_num, the count's low
// bits) cannot tell how many times it wrapped across a hole: the pictures
// after it count on as if at most one wrap had passed. Where the bytes lost
// held more pictures than half a wrap, the gap in the counts is short by the
// wraps that fit the bytes best; where they held fewer it cannot have
// wrapped, and the gap stands.
void unwrap_counts(const std::vector<Sample>& samples, const std::vector<size_t>& pictures,
                   const std::vector<bool>& after_damage, const std::vector<double>& lost, std::vector<int32_t>& poc,
                   const std::vector<bool>& starts)
{
    const int32_t step = std::max<int32_t>(1, usual_step(poc, period_starts(starts)));
    int64_t added = 0, highest = 0;
    for (size_t k = 0; k < poc.size(); ++k) {
        if (starts[k] || k == 0) {
            added = 0;
            highest = poc[k];
            continue;
        }
        const int64_t wrap = samples[pictures[k]].wrap / step;
        if (after_damage[k] && wrap > 0 && lost[k] >= double(wrap) / 2) {
            const double gap = std::max<double>(0, double(int64_t(poc[k]) + added - highest) / step - 1);
            const double wraps = std::clamp((lost[k] - gap) / double(wrap), 0.0, 1e6);
            added += std::llround(wraps) * wrap * step;
        }
        poc[k] = clamp_poc(int64_t(poc[k]) + added);
        highest = std::max<int64_t>(highest, poc[k]);
    }
}

// Samples each damaged spot took from each track.
std::vector<std::vector<double>> losses(const std::vector<Sample>& samples, const Layout& layout)
{
    std::vector<std::vector<double>> lost_at(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        if (!samples[i].loss)
            continue;
        lost_at[i] = layout.loss(samples, long(i) - 1, i, double(samples[i].loss));
    }
    return lost_at;
}

// The pictures in decoding order: their order counts, where periods start,
// and what damage took just before each.
struct PictureRun
{
    std::vector<int32_t> poc;
    std::vector<bool> starts;
    std::vector<double> lost; // pictures lost before each, estimated
    std::vector<bool> after_damage;
};

PictureRun collect_pictures(const std::vector<Sample>& samples, const std::vector<std::vector<double>>& lost_at,
                            int video, std::vector<size_t>& pictures)
{
    PictureRun run;
    double pending = 0;
    bool damage = false;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (!lost_at[i].empty()) {
            pending += lost_at[i][video];
            damage = true;
        }
        if (samples[i].track == video) {
            pictures.push_back(i);
            run.poc.push_back(samples[i].poc);
            run.starts.push_back(samples[i].period_start);
            run.lost.push_back(pending);
            run.after_damage.push_back(damage);
            pending = 0;
            damage = false;
        }
    }
    return run;
}

// Right after damage the count's high part goes on from before it, which
// may be stale: a picture's count is within half a wrap of the next one's
// in the same stretch, which sets it right.
void mend_stale_counts(const std::vector<Sample>& samples, const std::vector<size_t>& pictures, PictureRun& run)
{
    std::vector<int32_t>& poc = run.poc;
    for (size_t k = poc.size() - std::min<size_t>(poc.size(), 1); k-- > 0;) {
        const int64_t wrap = samples[pictures[k]].wrap;
        if (wrap <= 0 || run.after_damage[k + 1] || run.starts[k + 1] || run.starts[k])
            continue;
        const int64_t off = int64_t(poc[k]) - poc[k + 1];
        poc[k] = clamp_poc(int64_t(poc[k]) - (off + (off > 0 ? wrap / 2 : -(wrap / 2))) / wrap * wrap);
    }
}

// Pictures lost where a period ends leave no gap in the order counts:
// the next period starts as many pictures later as the bytes held, until
// the audio tells better.
void shift_after_lost_ends(const std::vector<Sample>& samples, const PictureRun& run, PictureSlots& slots)
{
    const std::vector<size_t>& pictures = slots.sample;
    int64_t shift = 0;
    slots.guessed.assign(pictures.size(), false);
    slots.wrap.assign(pictures.size(), 0);
    const int32_t poc_step = std::max<int32_t>(1, usual_step(run.poc, period_starts(run.starts)));
    for (size_t k = 0; k < pictures.size(); ++k) {
        if (run.starts[k] && k > 0) {
            shift += std::llround(run.lost[k]);
            slots.guessed[k] = run.after_damage[k];
        } else if (k > 0 && run.after_damage[k]) {
            slots.wrap[k] = samples[pictures[k]].wrap / poc_step;
        }
        slots.display[k] += shift;
    }
}

// A period that begins right after damage began in the middle of the
// reordering: a picture lost there (a reference picture shown after
// those that follow it) may have been decoded before them. The
// pictures' distances between display and decoding order then fit the
// reference's best shifted by as many.
int64_t reorder_shift(const RefTrack& video, const std::vector<int64_t>& display, const std::vector<int64_t>& rank,
                      size_t first, size_t end)
{
    int64_t best = 0, best_fit = -1;
    for (int64_t c = std::max<int64_t>(-4, rank[first - 1] + 1 - rank[first]); c <= 4; ++c) {
        int64_t fit = 0;
        for (size_t k = first; k < end && k < first + 48; ++k) {
            const auto it = video.reorder.find(display[k] - rank[k] - c);
            fit += it == video.reorder.end() ? 0 : it->second;
        }
        if (fit > best_fit || (fit == best_fit && std::llabs(c) < std::llabs(best))) {
            best = c;
            best_fit = fit;
        }
    }
    return best;
}

// Decoding times count pictures from the start of their period, so a
// picture lost to damage shifts nothing past the next random access point.
// After damage in a period, the pictures lost before one in decoding
// order are the display slots up to the latest one shown so far that no
// picture of the period fills (but for those the end of the data cut off).
// Gives the delay by which decoding runs ahead of display.
int64_t decoding_ranks(const RefTrack& video, const PictureRun& run, PictureSlots& slots)
{
    const std::vector<int64_t>& display = slots.display;
    std::vector<int64_t>& rank = slots.rank;
    const size_t count = slots.sample.size();
    rank.resize(count);
    int64_t delay = video.delay;
    for (size_t first = 0; first < count;) {
        const size_t end = period_end(run.starts, first);
        std::vector<int64_t> shown(display.begin() + long(first), display.begin() + long(end));
        std::sort(shown.begin(), shown.end());
        const int64_t counted = end == count ? shown.back() - video.delay - 1 : shown.back();
        int64_t latest = shown.front();
        bool damaged = false;
        for (size_t k = first; k < end; ++k) {
            latest = std::max(latest, display[k]);
            damaged = damaged || (k > first && run.after_damage[k]);
            const int64_t upto = std::min(latest, counted);
            const int64_t lost =
                damaged && upto >= shown.front()
                    ? upto - shown.front() + 1 - (std::upper_bound(shown.begin(), shown.end(), upto) - shown.begin())
                    : 0;
            rank[k] = shown.front() + int64_t(k - first) + std::max<int64_t>(0, lost);
        }
        if (first > 0 && run.after_damage[first] && !video.reorder.empty()) {
            const int64_t best = reorder_shift(video, display, rank, first, end);
            for (size_t k = first; k < end; ++k)
                rank[k] += best;
        }
        for (size_t k = first; k < end; ++k)
            delay = std::max(delay, rank[k] - display[k]);
        first = end;
    }
    return delay;
}

// The pictures' times at the reference's frame rate; dts must rise even where estimates collide.
void time_pictures(const RefTrack& video, const PictureSlots& slots, int64_t delay, std::vector<Sample>& samples)
{
    const std::vector<size_t>& pictures = slots.sample;
    for (size_t k = 0; k < pictures.size(); ++k) {
        Sample& s = samples[pictures[k]];
        s.pts = video.first_pts + slots.display[k] * video.step;
        s.dts = video.first_pts + (slots.rank[k] - delay) * video.step;
        s.duration = video.step;
    }
    for (size_t k = 1; k < pictures.size(); ++k) {
        Sample& s = samples[pictures[k]];
        s.dts = std::max(s.dts, samples[pictures[k - 1]].dts + 1);
        s.dts = std::min(s.dts, s.pts);
    }
}

// Past a lost head each track lies where it would have in the whole
// recording: the earliest sample begins at 0 instead, all moved alike.
void start_at_zero(const Reference& ref, std::vector<Sample>& samples)
{
    double earliest = INFINITY;
    for (const Sample& s : samples)
        earliest = std::min(earliest, double(s.pts) * av_q2d(ref.tracks[s.track].time_base));
    for (Sample& s : samples) {
        const int64_t ticks = std::llround(earliest / av_q2d(ref.tracks[s.track].time_base));
        s.pts -= ticks;
        s.dts -= ticks;
    }
}

} // namespace

Timing assign_timestamps(const Reference& ref, std::vector<Sample>& samples)
{
    const RefTrack& video = ref.tracks[ref.video];
    const double step = double(video.step) * av_q2d(video.time_base);
    const size_t n_tracks = ref.tracks.size();
    Timing timing;
    timing.lost.assign(n_tracks, 0);
    const Layout layout(samples, n_tracks);
    std::vector<std::vector<double>> lost_at = losses(samples, layout);

    PictureSlots slots;
    std::vector<size_t>& pictures = slots.sample;
    PictureRun run = collect_pictures(samples, lost_at, ref.video, pictures);
    mend_stale_counts(samples, pictures, run);
    mark_lost_starts(run.poc, run.after_damage, run.starts);
    split_long_periods(run.after_damage, run.lost, video.longest_period, run.starts);
    unwrap_counts(samples, pictures, run.after_damage, run.lost, run.poc, run.starts);
    slots.display = display_order(run.poc, run.starts);
    settle_video_losses(samples, pictures, run.starts, slots.display, layout, ref.video, video.delay, lost_at);
    // The pictures lost before each, as settled.
    for (size_t k = 0, i = 0; k < pictures.size(); ++k) {
        for (run.lost[k] = 0; i <= pictures[k]; ++i)
            run.lost[k] += lost_at[i].empty() ? 0 : lost_at[i][ref.video];
    }
    shift_after_lost_ends(samples, run, slots);
    double lost_video = 0;
    for (double l : run.lost)
        lost_video += l;
    const int64_t delay = decoding_ranks(video, run, slots);

    timing.lost = place_audio(ref, lost_at, layout.duration, layout.size, layout.chunk, slots, samples);
    timing.lost[ref.video] += std::round(lost_video) * step;
    time_pictures(video, slots, delay, samples);
    // The audio is a constant-rate clock interleaved with the video: where
    // the video at the reference's frame rate drifts away from it, the
    // recording's frame rate varied.
    if (!ref.audio.empty() && pictures.size() >= 8)
        follow_audio_clock(ref, samples, pictures, slots.display, slots.rank, delay, timing);
    if (!samples.empty() && samples.front().loss > 0)
        start_at_zero(ref, samples);
    return timing;
}

} // namespace vidmend
