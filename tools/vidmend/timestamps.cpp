#include "timestamps.h"

extern "C" {
#include <libavutil/rational.h>
}

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>

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

std::vector<int64_t> display_order(const std::vector<int32_t>& poc, const std::vector<bool>& period_start)
{
    const size_t n = poc.size();
    std::vector<size_t> starts;
    for (size_t i = 0; i < n; ++i)
        if (i == 0 || period_start[i])
            starts.push_back(i);
    starts.push_back(n);

    // The usual distance between neighbouring counts (2 for most H.264 streams, 1 for HEVC).
    std::map<int32_t, size_t> gaps;
    for (size_t p = 0; p + 1 < starts.size(); ++p) {
        std::vector<int32_t> sorted(poc.begin() + starts[p], poc.begin() + starts[p + 1]);
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

void assign_timestamps(const Reference& ref, std::vector<Sample>& samples)
{
    const RefTrack& video = ref.tracks[ref.video];
    std::vector<size_t> pictures;
    std::vector<int32_t> poc;
    std::vector<bool> starts;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (samples[i].track == ref.video) {
            pictures.push_back(i);
            poc.push_back(samples[i].poc);
            starts.push_back(samples[i].period_start);
        }
    }
    const std::vector<int64_t> display = display_order(poc, starts);

    // Decoding times count pictures from the start of their period, so a
    // picture lost to damage shifts nothing past the next random access point.
    std::vector<int64_t> rank(pictures.size());
    int64_t delay = video.delay;
    size_t first = 0;
    int64_t base = 0;
    for (size_t k = 0; k < pictures.size(); ++k) {
        if (k == 0 || starts[k]) {
            first = k;
            base = display[k];
            for (size_t j = k + 1; j < pictures.size() && !starts[j]; ++j)
                base = std::min(base, display[j]);
        }
        rank[k] = base + int64_t(k - first);
        delay = std::max(delay, rank[k] - display[k]);
    }
    for (size_t k = 0; k < pictures.size(); ++k) {
        Sample& s = samples[pictures[k]];
        s.pts = video.first_pts + display[k] * video.step;
        s.dts = video.first_pts + (rank[k] - delay) * video.step;
    }

    // Audio counts frames from the reference's first timestamp. After lost
    // bytes a track takes up again as many frames later as the bytes would
    // have held, if that keeps it as close to the video as it was; else at
    // its usual distance from the video.
    const size_t n = ref.tracks.size();
    std::vector<int64_t> count(n, 0);
    std::vector<uint64_t> bytes(n, 0);
    std::vector<std::vector<double>> leads(n);
    std::vector<uint64_t> lost(n, 0);
    double video_time = 0;
    bool seen_video = false;
    for (Sample& s : samples) {
        if (s.loss)
            for (uint64_t& l : lost)
                l += s.loss;
        if (s.track == ref.video) {
            video_time = double(s.dts) * av_q2d(video.time_base);
            seen_video = true;
            continue;
        }
        const RefTrack& t = ref.tracks[s.track];
        const double tb = av_q2d(t.time_base);
        const double frame = double(t.step) * tb;
        std::vector<double>& lead = leads[s.track];
        const bool resync = lost[s.track] > 0;
        if (resync && seen_video && !lead.empty() && count[s.track] > 0) {
            const auto [low, high] = std::minmax_element(lead.begin(), lead.end());
            const double average = double(bytes[s.track]) / double(count[s.track]);
            const int64_t by_bytes = count[s.track] + std::llround(double(lost[s.track]) / average);
            const double lead_by_bytes = double(t.first_pts + by_bytes * t.step) * tb - video_time;
            if (lead_by_bytes >= *low - frame / 2 && lead_by_bytes <= *high + frame / 2) {
                count[s.track] = by_bytes;
            } else {
                std::vector<double> sorted(lead);
                std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
                const double due = video_time + sorted[sorted.size() / 2];
                const int64_t at = std::llround((due / tb - double(t.first_pts)) / double(t.step));
                count[s.track] = std::max(count[s.track], at);
            }
        }
        s.pts = s.dts = t.first_pts + count[s.track]++ * t.step;
        bytes[s.track] += s.size;
        if (seen_video && !resync) {
            lead.push_back(double(s.pts) * tb - video_time);
            if (lead.size() > 32)
                lead.erase(lead.begin());
        }
        lost[s.track] = 0;
    }
}

} // namespace vidmend
