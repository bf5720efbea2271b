#pragma once

#include <cstddef>
#include <vector>

namespace vidmend {

// Decides which audio track each frame between two video samples belongs
// to when the recording has several. Writers either interleave by time (the
// frame due first goes first, the earlier track on a tie) or write one run
// per track between video samples; the reference shows which.
class AudioSchedule
{
public:
    enum class Rule { ByTime, ByRun };

    struct Track
    {
        double start = 0; // seconds
        double frame = 0; // seconds per frame
    };

    AudioSchedule(std::vector<Track> tracks, Rule rule);

    // Tracks (indexes into the list given) of `count` frames found between two video samples.
    void assign(size_t count, std::vector<int>& out);

    // Tracks of the last `count` frames before a video sample, after damage
    // took an unknown number of frames: every track is taken to the same
    // time, and the frames are given out backwards from there.
    void assign_tail(size_t count, std::vector<int>& out);

    // A frame given to `from` went to `to` instead (-1: to no track).
    void moved(int from, int to)
    {
        --m_counts[size_t(from)];
        if (to >= 0)
            ++m_counts[size_t(to)];
    }

    // The rule that reproduces the reference's own order best. `gaps` holds,
    // for each stretch between video samples, the audio tracks in file order.
    static Rule learn(const std::vector<Track>& tracks, const std::vector<std::vector<int>>& gaps);

    Rule rule() const { return m_rule; }

private:
    double due(size_t t) const { return m_tracks[t].start + double(m_counts[t]) * m_tracks[t].frame; }

    std::vector<Track> m_tracks;
    std::vector<long long> m_counts;
    Rule m_rule;
};

} // namespace vidmend
