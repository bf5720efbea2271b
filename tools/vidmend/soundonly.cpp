#include "soundonly.h"

#include <cmath>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace vidmend {

Timing sound_only_timestamps(const Reference& ref, std::vector<Sample>& samples)
{
    const size_t n = ref.tracks.size();
    Timing timing;
    timing.lost.assign(n, 0);
    std::vector<double> bytes(n, 0), units(n, 0); // per track: bytes and samples (per channel) walked
    for (const Sample& s : samples) {
        bytes[s.track] += double(s.size);
        units[s.track] += double(s.duration);
    }
    std::vector<int64_t> clock(n, 0);
    for (Sample& s : samples) {
        const RefTrack& t = ref.tracks[s.track];
        const AVRational rate{1, t.sample_rate > 0 ? t.sample_rate : 1};
        if (s.loss > 0 && bytes[s.track] > 0) {
            // The damage before it held sound of this track's mean density.
            const double lost = double(s.loss) * units[s.track] / bytes[s.track];
            const double whole = t.frame_samples > 1
                                     ? std::round(lost / double(t.frame_samples)) * double(t.frame_samples)
                                     : std::round(lost);
            clock[s.track] += av_rescale_q(int64_t(whole), rate, t.time_base);
            timing.lost[s.track] += whole / double(rate.den);
        }
        const int64_t length = av_rescale_q(s.duration, rate, t.time_base);
        s.pts = s.dts = t.first_pts + clock[s.track];
        s.duration = length;
        clock[s.track] += length;
    }
    return timing;
}

} // namespace vidmend
