#include "audioschedule.h"

#include <algorithm>
#include <cmath>

namespace vidmend {

AudioSchedule::AudioSchedule(std::vector<Track> tracks, Rule rule)
    : m_tracks(std::move(tracks))
    , m_counts(m_tracks.size(), 0)
    , m_rule(rule)
{}

void AudioSchedule::assign(size_t count, std::vector<int>& out)
{
    out.clear();
    const size_t k = m_tracks.size();
    if (k == 0)
        return;
    if (k == 1 || m_rule == Rule::ByTime) {
        for (size_t i = 0; i < count; ++i) {
            size_t best = 0;
            double best_time = 0;
            for (size_t t = 0; t < k; ++t) {
                const double due = this->due(t);
                // A tiny tolerance keeps equal times equal despite rounding.
                if (t == 0 || due < best_time - 1e-9) {
                    best = t;
                    best_time = due;
                }
            }
            ++m_counts[best];
            out.push_back(int(best));
        }
        return;
    }
    // One run per track, each as long as its frame rate asks for.
    double weight = 0;
    for (const Track& t : m_tracks)
        weight += t.frame > 0 ? 1.0 / t.frame : 1.0;
    size_t given = 0;
    for (size_t t = 0; t < k; ++t) {
        const double share = (m_tracks[t].frame > 0 ? 1.0 / m_tracks[t].frame : 1.0) / weight;
        size_t n = t + 1 == k ? count - given : size_t(std::lround(double(count) * share));
        if (given + n > count)
            n = count - given;
        for (size_t i = 0; i < n; ++i)
            out.push_back(int(t));
        m_counts[t] += static_cast<long long>(n);
        given += n;
    }
}

void AudioSchedule::assign_tail(size_t count, std::vector<int>& out)
{
    out.assign(count, 0);
    const size_t k = m_tracks.size();
    if (k < 2 || count == 0)
        return;
    if (m_rule == Rule::ByRun) {
        std::vector<int> forward;
        assign(count, forward);
        out = forward;
        return;
    }
    // A time past every track's next frame and past the frames to place.
    double until = 0, shortest = 1e9;
    for (size_t t = 0; t < k; ++t) {
        until = std::max(until, due(t));
        shortest = std::min(shortest, m_tracks[t].frame > 0 ? m_tracks[t].frame : 1.0);
    }
    until += double(count) * shortest;
    for (size_t t = 0; t < k; ++t) {
        const double frame = m_tracks[t].frame > 0 ? m_tracks[t].frame : 1.0;
        m_counts[t] = std::max(m_counts[t], (long long)(std::ceil((until - m_tracks[t].start) / frame - 1e-9)));
    }
    // Backwards, the frame due last goes last, the later track on a tie.
    std::vector<long long> counts(m_counts);
    for (size_t i = count; i-- > 0;) {
        size_t best = 0;
        double best_time = -1e300;
        for (size_t t = 0; t < k; ++t) {
            const double at = m_tracks[t].start + double(counts[t] - 1) * m_tracks[t].frame;
            if (at >= best_time - 1e-9) {
                best = t;
                best_time = at;
            }
        }
        --counts[best];
        out[i] = int(best);
    }
}

AudioSchedule::Rule AudioSchedule::learn(const std::vector<Track>& tracks, const std::vector<std::vector<int>>& gaps)
{
    if (tracks.size() < 2)
        return Rule::ByTime;
    size_t score[2] = {0, 0};
    const Rule rules[2] = {Rule::ByTime, Rule::ByRun};
    std::vector<int> guess;
    for (int r = 0; r < 2; ++r) {
        AudioSchedule schedule(tracks, rules[r]);
        for (const std::vector<int>& gap : gaps) {
            schedule.assign(gap.size(), guess);
            for (size_t i = 0; i < gap.size(); ++i)
                score[r] += guess[i] == gap[i];
        }
    }
    return score[1] > score[0] ? Rule::ByRun : Rule::ByTime;
}

} // namespace vidmend
