#pragma once

#include <cstddef>
#include <vector>

namespace vidmend {

// Decides which audio track each AAC frame between two video samples belongs
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

    // The rule that reproduces the reference's own order best. `gaps` holds,
    // for each stretch between video samples, the audio tracks in file order.
    static Rule learn(const std::vector<Track>& tracks, const std::vector<std::vector<int>>& gaps);

    Rule rule() const { return m_rule; }

private:
    std::vector<Track> m_tracks;
    std::vector<long long> m_counts;
    Rule m_rule;
};

} // namespace vidmend
