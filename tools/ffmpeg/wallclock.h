#pragma once

#include <chrono>
#include <optional>

namespace ffexe {

// A recording of a live FLV source keeps the time of the wall clock across a
// restarted publisher: the new stream's time stamps, from zero again, are put
// where the wall clock says they came, so the file keeps the outage as a held
// picture and runs as long as the recording did. ffmpeg's own evening out
// would close the outage up.
//
// Times are FLV's milliseconds. Each stream (pictures, sound) notices a jump
// in its own time stamps; the first to notice one measures where the wall
// clock puts it, and the other takes the same offset when its own jump comes,
// so the two stay together.
class WallClock
{
public:
    using Clock = std::chrono::steady_clock;
    enum Stream { Pictures = 0, Sound = 1 };

    // A source's time stamps that move by more than this, either way, jumped.
    static constexpr long long k_jump_ms = 500;
    // Jumps count, and the live edge is learnt, only this long after the first
    // tag: a server may send what it holds all at once when a reader comes.
    static constexpr std::chrono::milliseconds k_settle{1000};

    // The recording's time of a tag of `stream` at `source_ms`, come at `now`.
    // `jump` is set to the source's jump (ms, back is negative) when this tag
    // is the first to show it.
    long long place(Stream stream, long long source_ms, Clock::time_point now,
                    std::optional<long long>* jump = nullptr);

private:
    struct Track
    {
        long long last_in = -1, last_out = -1, offset = 0;
        int epoch = 0; // the last jump this stream followed
        Clock::time_point jumped;
    };

    Track m_tracks[2];
    int m_epoch = 0;
    std::optional<Clock::time_point> m_first;
    // The least the recording's time has lagged behind the wall clock: where
    // a stream that comes back live belongs.
    std::optional<long long> m_edge;
};

} // namespace ffexe
