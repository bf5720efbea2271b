#include "audioschedule.h"

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
                const double due = m_tracks[t].start + double(m_counts[t]) * m_tracks[t].frame;
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
