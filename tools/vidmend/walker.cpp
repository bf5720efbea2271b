#include "walker.h"

#include <algorithm>
#include <chrono>
#include <cstring>

extern "C" {
#include <libavutil/rational.h>
}

namespace vidmend {

namespace {

using Clock = std::chrono::steady_clock;

// How often the walk reports progress, in bytes.
constexpr uint64_t k_progress_step = 4u << 20;
// How far past a stretch of unknown bytes the walk looks for AAC frames again.
constexpr uint64_t k_resync_span = 2048;

uint32_t video_cap(const RefTrack& video)
{
    const uint64_t cap = std::max<uint64_t>(2ull * video.max_size, video.max_size + (1u << 20));
    return uint32_t(std::min<uint64_t>(cap, 64u << 20));
}

} // namespace

Walker::Walker(const Reference& ref, const uint8_t* file)
    : m_ref(ref)
    , m_file(file)
    , m_scanner(ref.video_config, video_cap(ref.tracks[ref.video]), 2 * ref.tracks[ref.video].max_size)
{
    if (ref.audio.empty())
        return;
    m_splitter = std::make_unique<AacSplitter>(ref.tracks[ref.audio.front()].par.get());
    std::vector<AudioSchedule::Track> timing;
    uint32_t min_size = UINT32_MAX, max_size = 0;
    for (int a : ref.audio) {
        const RefTrack& t = ref.tracks[a];
        timing.push_back({double(t.first_pts) * av_q2d(t.time_base), double(t.step) * av_q2d(t.time_base)});
        min_size = std::min(min_size, t.min_size);
        max_size = std::max(max_size, t.max_size);
    }
    m_min_frame = std::max<uint32_t>(2, min_size / 2);
    m_max_frame = std::max<uint32_t>(2 * max_size + 64, 1536);

    // The reference's own order between video samples tells how its writer interleaves.
    std::vector<std::vector<int>> gaps(1);
    for (const RefSample& s : ref.layout) {
        if (s.track == ref.video) {
            if (!gaps.back().empty())
                gaps.emplace_back();
            continue;
        }
        const auto it = std::find(ref.audio.begin(), ref.audio.end(), s.track);
        gaps.back().push_back(int(it - ref.audio.begin()));
    }
    m_schedule = std::make_unique<AudioSchedule>(timing, AudioSchedule::learn(timing, gaps));
}

Walker::~Walker() = default;

bool Walker::video_at(uint64_t pos, uint64_t end, VideoCandidate& c)
{
    if (pos == m_probed_pos) {
        c = m_probed;
        return true;
    }
    const uint8_t* p = m_file + pos;
    return m_scanner.probe(p, end - pos, c);
}

uint64_t Walker::next_video(uint64_t from, uint64_t end)
{
    const bool zero_first = m_scanner.zero_prefix() > 0;
    for (uint64_t pos = from; pos < end; ++pos) {
        if (zero_first && m_file[pos] != 0) {
            const void* zero = std::memchr(m_file + pos, 0, end - pos);
            if (!zero)
                break;
            pos = uint64_t(static_cast<const uint8_t*>(zero) - m_file);
        }
        const uint8_t* p = m_file + pos;
        if (!m_scanner.could_start(p, end - pos))
            continue;
        if (m_scanner.probe(p, end - pos, m_probed)) {
            m_probed_pos = pos;
            return pos;
        }
        if (m_probed.cut)
            return pos;
    }
    return end;
}

void Walker::add_frames(uint64_t pos, const std::vector<uint32_t>& lengths,
                        std::vector<std::pair<uint64_t, uint32_t>>& out)
{
    for (uint32_t len : lengths) {
        out.emplace_back(pos, len);
        pos += len;
    }
}

// Cuts [begin, end) into AAC frames. `end` is where the next video sample
// seems to begin; when that turns out to lie inside an AAC frame it moves on.
void Walker::take_gap(uint64_t begin, uint64_t& end, const ByteRange& range, WalkResult& result)
{
    AacSplitter& splitter = *m_splitter;
    std::vector<std::pair<uint64_t, uint32_t>> frames;
    AacSplitter::Result r = splitter.split(m_file + begin, end - begin);
    const uint64_t range_end = range.end;
    if (!r.exact && end < range_end) {
        const uint64_t saved_pos = m_probed_pos;
        const VideoCandidate saved = m_probed;
        const uint64_t later = next_video(end + 1, range_end);
        AacSplitter::Result r2 = splitter.split(m_file + begin, later - begin);
        if (r2.exact) {
            end = later;
            r = std::move(r2);
        } else {
            m_probed_pos = saved_pos;
            m_probed = saved;
        }
    }
    add_frames(begin, r.lengths, frames);
    uint64_t pos = begin + r.covered;
    size_t lost_before = SIZE_MAX;
    uint64_t lost = 0;
    while (!r.exact && pos < end) {
        // The last frame before something else: find its length the slow way.
        const size_t len = splitter.frame_length(m_file + pos, end - pos, m_min_frame, m_max_frame);
        if (len) {
            frames.emplace_back(pos, uint32_t(len));
            pos += len;
            if (pos >= end)
                break;
            r = splitter.split(m_file + pos, end - pos);
            add_frames(pos, r.lengths, frames);
            pos += r.covered;
            continue;
        }
        if (end == range_end && range.cut) {
            // A frame cut off by the end of the data.
            result.stats.dropped_tail += end - pos;
            break;
        }
        // Unknown bytes: look a little further for frames that run up to the video sample.
        uint64_t resume = end;
        for (uint64_t s = pos + 1; s < end && s <= pos + k_resync_span; ++s) {
            AacSplitter::Result tail = splitter.split(m_file + s, end - s);
            if (tail.exact) {
                resume = s;
                r = std::move(tail);
                break;
            }
        }
        result.stats.skipped += resume - pos;
        ++result.stats.skipped_runs;
        lost_before = frames.size();
        lost = resume - pos;
        if (resume < end)
            add_frames(resume, r.lengths, frames);
        pos = end;
    }

    std::vector<int> tracks;
    m_schedule->assign(frames.size(), tracks);
    for (size_t i = 0; i < frames.size(); ++i) {
        if (i == lost_before)
            m_loss_pending += lost;
        Sample s;
        s.pos = frames[i].first;
        s.size = frames[i].second;
        s.track = uint16_t(m_ref.audio[tracks[i]]);
        s.key = true;
        result.stats.audio_bytes += s.size;
        push(s, result);
    }
    if (lost_before != SIZE_MAX && lost_before >= frames.size())
        m_loss_pending += lost;
}

void Walker::push(Sample s, WalkResult& result)
{
    s.loss = uint32_t(std::min<uint64_t>(m_loss_pending, UINT32_MAX));
    m_loss_pending = 0;
    result.samples.push_back(s);
}

bool Walker::complete_at_end(const VideoCandidate& c) const
{
    if (m_accepted < 8)
        return true;
    const auto most = std::max_element(m_slice_counts.begin(), m_slice_counts.end());
    const int usual_slices = int(most - m_slice_counts.begin());
    if (c.slices < usual_slices)
        return false;
    // Pictures usually followed by a trailing NAL unit (a suffix SEI, say) must have it.
    return c.trailer || m_with_trailer * 10 < m_accepted * 9;
}

WalkResult Walker::walk(const std::vector<ByteRange>& ranges, const Progress& progress)
{
    WalkResult result;
    WalkStats& stats = result.stats;
    for (const ByteRange& r : ranges)
        stats.payload += r.size();
    const uint16_t video_track = uint16_t(m_ref.video);
    uint64_t done_before = 0, next_report = 0;

    for (const ByteRange& range : ranges) {
        uint64_t pos = range.begin;
        while (pos < range.end) {
            if (progress && done_before + (pos - range.begin) >= next_report) {
                next_report += k_progress_step;
                if (!progress(done_before + (pos - range.begin), stats.payload)) {
                    stats.stopped = true;
                    return result;
                }
            }
            VideoCandidate c;
            const bool found = video_at(pos, range.end, c);
            if (c.cut || (found && pos + c.size == range.end && range.cut && !complete_at_end(c))) {
                stats.dropped_tail += range.end - pos;
                break;
            }
            if (found) {
                const PictureOrder order = m_scanner.accept(m_file + pos, c);
                Sample s;
                s.pos = pos;
                s.size = c.size;
                s.poc = order.poc;
                s.period_start = order.period_start;
                s.key = c.key;
                s.track = video_track;
                push(s, result);
                stats.video_bytes += c.size;
                if (m_slice_counts.size() <= size_t(c.slices))
                    m_slice_counts.resize(c.slices + 1, 0);
                ++m_slice_counts[c.slices];
                m_with_trailer += c.trailer;
                ++m_accepted;
                pos += c.size;
                continue;
            }
            const auto searching = Clock::now();
            uint64_t end = next_video(pos + 1, range.end);
            const auto splitting = Clock::now();
            stats.search_seconds += std::chrono::duration<double>(splitting - searching).count();
            if (m_splitter) {
                take_gap(pos, end, range, result);
                stats.audio_seconds += std::chrono::duration<double>(Clock::now() - splitting).count();
            } else {
                stats.skipped += end - pos;
                ++stats.skipped_runs;
                m_loss_pending += end - pos;
            }
            pos = end;
        }
        done_before += range.size();
    }
    stats.walked = done_before;
    if (m_splitter)
        stats.decoder_calls = m_splitter->decode_calls();
    return result;
}

} // namespace vidmend
