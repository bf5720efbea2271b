#include "wallclock.h"

#include <algorithm>
#include <cstdlib>

namespace ffexe {

long long WallClock::place(Stream stream, long long source_ms, Clock::time_point now, std::optional<long long>* jump)
{
    if (!m_first)
        m_first = now;
    const long long wall = std::chrono::duration_cast<std::chrono::milliseconds>(now - *m_first).count();
    const bool settled = now - *m_first > k_settle;
    Track& track = m_tracks[stream];
    const Track& other = m_tracks[1 - stream];
    if (settled && track.last_in >= 0 && (source_ms < track.last_in || source_ms - track.last_in > k_jump_ms)) {
        if (other.epoch > track.epoch && now - other.jumped < k_settle) {
            // The other stream met this jump a moment ago.
            track.offset = other.offset;
            track.epoch = other.epoch;
        } else {
            const long long last = std::max(track.last_out, other.last_out);
            const long long where = m_edge ? std::max(last + 1, wall - *m_edge) : last + 1;
            const long long offset = where - source_ms;
            // A gap in a stream that goes on live moves nothing: no jump.
            if (std::llabs(offset - track.offset) > k_jump_ms) {
                if (jump)
                    *jump = source_ms - track.last_in;
                track.epoch = ++m_epoch;
                track.jumped = now;
            }
            track.offset = offset;
        }
    }
    track.last_in = source_ms;
    const long long out = std::max(source_ms + track.offset, track.last_out + 1);
    track.last_out = out;
    if (settled)
        m_edge = std::min(m_edge.value_or(wall - out), wall - out);
    return out;
}

} // namespace ffexe
