#include "walker.h"

#include "bitreader.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <numeric>

extern "C" {
#include <libavutil/rational.h>
}

namespace vidmend {

namespace {

using Clock = std::chrono::steady_clock;

// How often the walk reports progress, in bytes.
constexpr uint64_t k_progress_step = 4u << 20;

double since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The largest video sample taken where nothing is damaged: a busier scene
// than the reference's may well double its largest sample, and a key frame
// may add more than that.
uint32_t video_cap(const RefTrack& video)
{
    const uint64_t cap = std::max<uint64_t>(2ull * video.max_size, video.max_size + (1u << 20));
    return uint32_t(std::min<uint64_t>(cap, 64u << 20));
}

} // namespace

Walker::Walker(const Reference& ref, const uint8_t* file)
    : m_ref(ref)
    , m_file(file)
    , m_scanner(ref.video_config, ref.video >= 0 ? video_cap(ref.tracks[ref.video]) : 0,
                ref.video >= 0 ? 2 * ref.tracks[ref.video].max_size : 0)
{
    // Without video (a sound recording) no sample is ever taken for a picture.
    for (const auto& sample : ref.video >= 0 ? ref.tracks[ref.video].examples : RefTrack().examples)
        m_scanner.learn(sample.data(), uint32_t(sample.size()));
    if (ref.audio.empty())
        return;
    std::vector<AudioSchedule::Track> timing;
    uint32_t max_size = 0;
    for (int a : ref.audio) {
        const RefTrack& t = ref.tracks[a];
        timing.push_back({double(t.first_pts) * av_q2d(t.time_base), double(t.step) * av_q2d(t.time_base)});
        max_size = std::max(max_size, t.max_size);
        m_framers.push_back(make_audio_framer(t.par.get(), t.frame_samples));
        for (const auto& frame : t.examples)
            m_framers.back()->learn(frame.data(), uint32_t(frame.size()));
    }
    m_max_frame = std::max<uint32_t>(2 * max_size + 64, 1536);
    // The first track's decoder splits runs that hold every track's frames.
    for (int a : ref.audio)
        m_framers.front()->allow_shorter(std::max<uint32_t>(1, ref.tracks[a].min_size));
    uint64_t run = 0;
    for (const RefSample& s : ref.layout) {
        if (s.track == ref.video && run > 0)
            m_pcm_unit = std::gcd(m_pcm_unit, run);
        run = s.track == ref.video ? 0 : run + s.size;
        m_longest_run = std::max(m_longest_run, run);
    }
    // A writer that cuts its PCM in chunks of a fixed length (1024 samples,
    // say) ends every run on one: sample bytes that happen to parse as a
    // slice are passed over where no run can end.
    if (!m_framers.front()->fixed() || m_pcm_unit < 64)
        m_pcm_unit = 0;
    // The margin covers a recording whose writer cut its chunks a little
    // differently from the reference's (another length, a second tick).
    m_run_limit = m_longest_run + std::max<uint64_t>(m_longest_run / 2, 4 * uint64_t(m_max_frame));
    // Sound alone is one run from start to end: no limit.
    if (ref.video < 0)
        m_run_limit = m_pcm_unit = 0;
    // Tracks whose frames begin with different syntax elements (a channel
    // pair against a single channel, say) can be told apart frame by frame.
    // A few frames any track may begin alike (fill at the start) do not
    // count: those stay where the interleave puts them.
    m_distinct_lanes = m_framers.size() > 1;
    for (size_t t = 0; t < m_framers.size() && m_distinct_lanes; ++t)
        for (size_t u = 0; u < m_framers.size() && m_distinct_lanes; ++u) {
            const auto& examples = ref.tracks[ref.audio[u]].examples;
            const auto alike = std::count_if(examples.begin(), examples.end(), [&](const auto& frame) {
                return m_framers[t]->could_start(frame.data(), frame.size());
            });
            m_distinct_lanes = t == u || size_t(alike) * 20 < examples.size();
        }

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

uint64_t Walker::hole_in(uint64_t begin, uint64_t end) const
{
    if (m_run_limit == 0 || end - begin <= m_run_limit)
        return end;
    // Any run of m_run_limit zeros holds one of these probes.
    const uint64_t stride = std::max<uint64_t>(1, m_run_limit / 2);
    for (uint64_t probe = begin + stride; probe < end; probe += stride) {
        if (m_file[probe] != 0)
            continue;
        uint64_t from = probe, to = probe + 1;
        while (from > begin && m_file[from - 1] == 0)
            --from;
        while (to < end && m_file[to] == 0)
            ++to;
        if (to - from > m_run_limit)
            return from;
        probe = to;
    }
    return end;
}

bool Walker::believable(uint64_t pos, const VideoCandidate& c)
{
    if (m_scanner.plausible(c))
        return true;
    // Larger or of other kinds than the stream has shown (a busier scene than
    // the reference's): a picture only if no sample that fits the stream
    // begins inside it. Bytes of sound that happen to parse as a slice
    // swallow the pictures that follow.
    const uint64_t saved_pos = m_probed_pos;
    const VideoCandidate saved = m_probed;
    bool inside = false;
    for (uint64_t q = pos + 1; q < pos + c.size && !inside; ++q) {
        if (!m_scanner.could_start(m_file + q, pos + c.size - q))
            continue;
        VideoCandidate other;
        inside = m_scanner.probe(m_file + q, pos + c.size - q, other) && m_scanner.plausible(other);
    }
    m_probed_pos = saved_pos;
    m_probed = saved;
    return !inside;
}

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
        if (m_scanner.probe(p, end - pos, m_probed) && believable(pos, m_probed)) {
            m_probed_pos = pos;
            return pos;
        }
        if (m_probed.cut)
            return pos;
    }
    return end;
}

uint64_t Walker::pcm_run_end(uint64_t from, uint64_t end)
{
    for (uint64_t q = from + m_pcm_unit; q < end && q - from <= m_run_limit; q += m_pcm_unit) {
        const uint8_t* p = m_file + q;
        if (m_scanner.could_start(p, end - q) && m_scanner.probe(p, end - q, m_probed) && believable(q, m_probed)) {
            m_probed_pos = q;
            return q;
        }
    }
    return end;
}

bool Walker::followed_well(uint64_t pos, uint64_t end)
{
    if (pos >= end)
        return true;
    VideoCandidate c;
    if (m_scanner.probe(m_file + pos, end - pos, c) || c.cut)
        return true;
    const uint8_t* p = m_file + pos;
    const bool audio =
        std::any_of(m_framers.begin(), m_framers.end(), [&](const auto& f) { return f->likely_start(p, end - pos); });
    if (!audio)
        return false;
    AudioFramer& framer = *m_framers.front();
    if (framer.fixed())
        return true;
    const uint64_t window = std::min<uint64_t>(end - pos, 3ull * m_max_frame);
    const AudioFramer::Result r = framer.split(p, window);
    if (r.exact || !r.lengths.empty())
        return true;
    const size_t len = framer.frame_length(p, window);
    return len && (pos + len >= end || m_scanner.probe(p + len, end - pos - len, c) || c.cut);
}

uint64_t Walker::next_anchor(uint64_t from, uint64_t end)
{
    uint64_t pos = from;
    while (pos < end) {
        VideoCandidate c;
        const bool found = video_at(pos, end, c);
        if (c.cut)
            return pos;
        if (found && m_scanner.plausible(c) && followed_well(pos + c.size, end)) {
            m_probed_pos = pos;
            m_probed = c;
            return pos;
        }
        pos = next_video(pos + 1, end);
    }
    return end;
}

uint64_t Walker::find_start(uint64_t begin, uint64_t end)
{
    const uint64_t start = next_anchor(next_video(begin, end), end);
    m_probed_pos = UINT64_MAX;
    return start;
}

uint64_t Walker::audio_resumes(uint64_t from, uint64_t end, AudioFramer::Result& frames)
{
    AudioFramer& framer = *m_framers.front();
    if (framer.fixed()) {
        // Any bytes pass for PCM: take as much as a run before a picture
        // holds at most, counted back from the picture, and none of a hole.
        uint64_t take = std::min(end - from, m_longest_run);
        // A hole before it ends what can be taken: counted back, zeros longer than any run.
        uint64_t zeros = 0;
        for (uint64_t z = end; m_run_limit && z > from && end - z < take + m_run_limit; --z) {
            zeros = m_file[z - 1] == 0 ? zeros + 1 : 0;
            if (zeros > m_run_limit) {
                take = std::min(take, end - (z - 1 + zeros));
                break;
            }
        }
        frames = framer.split(m_file + end - take, take);
        // Bytes that are no sound (coded pictures, another codec's frames) are not taken for it.
        if (!frames.lengths.empty() && !framer.belongs(m_file + end - frames.covered, frames.covered))
            frames = {};
        frames.exact = !frames.lengths.empty();
        return end - frames.covered;
    }
    // The frames before a picture are no more than a run holds: looking no
    // further back keeps the decoder from most of the garbage, where a try
    // can cost milliseconds.
    const uint64_t window = 3ull * m_max_frame;
    for (uint64_t q = std::max(from, end - std::min(end, m_longest_run * 3 / 2 + m_max_frame)); q < end; ++q) {
        const uint8_t* p = m_file + q;
        // A run of zeros (a zeroed block) starts no frame; skip it whole.
        if (end - q >= 16 && be64(p) == 0 && be64(p + 8) == 0) {
            uint64_t z = q + 16;
            while (z < end && m_file[z] == 0)
                ++z;
            q = z - 9;
            continue;
        }
        const bool could =
            std::any_of(m_framers.begin(), m_framers.end(), [&](const auto& f) { return f->likely_start(p, end - q); });
        if (!could)
            continue;
        // Two frames in a row first, then the whole run.
        const AudioFramer::Result head = framer.split(p, std::min(end - q, window));
        if (!head.exact && head.lengths.empty())
            continue;
        AudioFramer::Result whole = framer.split(p, end - q);
        if (whole.exact) {
            frames = std::move(whole);
            return q;
        }
    }
    frames = {};
    return end;
}

// Cuts [begin, end) into audio frames. `end` is where the next video sample
// seems to begin; when that turns out to lie inside an audio frame it moves
// on, and when the bytes are damaged it moves to where the stream resumes.
// False when the stretch held damage.
bool Walker::take_gap(uint64_t begin, uint64_t& end, const ByteRange& range, WalkResult& result)
{
    WalkStats& stats = result.stats;
    const uint64_t range_end = range.end;
    std::vector<std::pair<uint64_t, uint32_t>> frames;
    uint64_t pos = begin;
    if (!m_framers.empty()) {
        AudioFramer& framer = *m_framers.front();
        // Zeros longer than any run, or a run of fixed-size frames longer than
        // any the reference has, are damage: PCM would take any bytes for sound.
        const uint64_t hole = hole_in(begin, end);
        // A run that ends off the writer's chunk length before another picture has lost bytes, or gained some.
        const bool misaligned = m_pcm_unit && end < range_end && (end - begin) % m_pcm_unit != 0;
        // After the last picture the sound may run on for longer than any run
        // (the pictures stopped first): taken while it sounds like sound.
        const bool last = end == range_end;
        const bool too_long = framer.fixed() && ((m_run_limit && end - begin > m_run_limit && !last) || misaligned ||
                                                 (last && !framer.belongs(m_file + begin, hole - begin)));
        uint64_t sound_end = hole < end ? hole : too_long ? begin : end;
        // Bytes before a hole that are no sound (the head of a picture the hole cut off) are damage too.
        if (hole < end && framer.fixed() && !framer.belongs(m_file + begin, hole - begin))
            sound_end = begin;
        AudioFramer::Result r = framer.split(m_file + begin, sound_end - begin);
        if (!r.exact && sound_end == end && end < range_end) {
            const uint64_t saved_pos = m_probed_pos;
            const VideoCandidate saved = m_probed;
            const uint64_t later = next_video(end + 1, range_end);
            AudioFramer::Result r2 = framer.split(m_file + begin, later - begin);
            if (r2.exact && (!framer.fixed() || later - begin <= m_run_limit)) {
                end = later;
                r = std::move(r2);
            } else {
                m_probed_pos = saved_pos;
                m_probed = saved;
            }
        }
        for (uint32_t len : r.lengths) {
            frames.emplace_back(pos, len);
            pos += len;
        }
        if (!r.exact && !framer.fixed()) {
            // The last frame before something else: its length the slow way.
            const size_t len = framer.frame_length(m_file + pos, sound_end - pos);
            if (len) {
                frames.emplace_back(pos, uint32_t(len));
                pos += len;
            }
        }
        give_frames(frames, false, result);
        if (r.exact && sound_end == end)
            return true;
    }
    if (end == range_end && range.cut && (m_ref.video >= 0 || end - pos < m_max_frame)) {
        // A frame cut off by the end of the data.
        stats.dropped_tail += end - pos;
        return true;
    }
    if (pos >= end)
        return true;
    // A sample of a track not repaired (text, timecode) between the sound and the next picture.
    if (others(end - pos) && end < range_end) {
        stats.other += end - pos;
        return true;
    }
    return damaged_from(pos, end, range, result);
}

// Damage from `pos`: the stream resumes at the next video sample that fits
// it, and with the audio frames that run up to that sample.
bool Walker::damaged_from(uint64_t pos, uint64_t& end, const ByteRange& range, WalkResult& result)
{
    WalkStats& stats = result.stats;
    const uint64_t range_end = range.end;
    std::vector<std::pair<uint64_t, uint32_t>> frames;
    const Clock::time_point start = Clock::now();
    if (m_ref.video < 0 && !m_framers.empty()) {
        // Sound alone has no pictures to resume at: it resumes where frames run on again.
        AudioFramer& framer = *m_framers.front();
        uint64_t q = pos + 1;
        for (; q < range_end; ++q) {
            const uint8_t* p = m_file + q;
            if (!framer.likely_start(p, range_end - q))
                continue;
            const AudioFramer::Result head = framer.split(p, std::min<uint64_t>(range_end - q, 3ull * m_max_frame));
            if (head.exact || head.lengths.size() >= 2)
                break;
        }
        stats.skipped += q - pos;
        ++stats.skipped_runs;
        stats.spans.emplace_back(pos, q);
        m_loss_pending += q - pos;
        end = q;
        stats.damage_seconds += since(start);
        return false;
    }
    end = next_anchor(end, range_end);
    uint64_t resume = end;
    AudioFramer::Result tail;
    if (!m_framers.empty() && end > pos)
        resume = audio_resumes(pos, end, tail);
    if (others(resume - pos)) {
        stats.other += resume - pos;
    } else {
        stats.skipped += resume - pos;
        ++stats.skipped_runs;
        stats.spans.emplace_back(pos, resume);
        m_loss_pending += resume - pos;
    }
    for (uint32_t len : tail.lengths) {
        frames.emplace_back(resume, len);
        resume += len;
    }
    give_frames(frames, true, result);
    stats.damage_seconds += since(start);
    return false;
}

void Walker::give_frames(const std::vector<std::pair<uint64_t, uint32_t>>& frames, bool after_damage,
                         WalkResult& result)
{
    if (frames.empty())
        return;
    thread_local std::vector<int> tracks;
    if (after_damage)
        m_schedule->assign_tail(frames.size(), tracks);
    else
        m_schedule->assign(frames.size(), tracks);
    for (size_t i = 0; i < frames.size(); ++i) {
        const uint64_t pos = frames[i].first;
        const uint32_t size = frames[i].second;
        int track = tracks[i];
        const uint8_t* p = m_file + pos;
        if (m_distinct_lanes) {
            // The frame's first element names its track: it goes there, or
            // nowhere when it fits none. One that several tracks may begin
            // with (fill) goes to the track whose decoder takes it whole.
            thread_local std::vector<int> fits;
            fits.clear();
            for (size_t t = 0; t < m_framers.size(); ++t)
                if (m_framers[t]->could_start(p, size))
                    fits.push_back(int(t));
            if (fits.size() > 1)
                fits.erase(std::remove_if(fits.begin(), fits.end(),
                                          [&](int t) { return !m_framers[size_t(t)]->split(p, size).exact; }),
                           fits.end());
            if (std::find(fits.begin(), fits.end(), track) == fits.end()) {
                const int scheduled = track;
                track = fits.empty() ? -1 : fits.front();
                // The interleave goes on from where the frames really went.
                m_schedule->moved(scheduled, track);
            }
        }
        if (track < 0) {
            ++result.stats.dropped_frames;
            result.stats.skipped += size;
            m_loss_pending += size;
            continue;
        }
        Sample s;
        s.pos = pos;
        s.size = size;
        s.track = uint16_t(m_ref.audio[track]);
        s.key = true;
        s.duration = m_framers[track]->duration(size);
        result.stats.audio_bytes += size;
        push(s, result);
    }
}

void Walker::push(Sample s, WalkResult& result)
{
    s.loss = uint32_t(std::min<uint64_t>(m_loss_pending, UINT32_MAX));
    m_loss_pending = 0;
    result.samples.push_back(s);
}

bool Walker::others(uint64_t bytes) const
{
    // A few of them may lie together (a text sample ending, the next beginning).
    return bytes > 0 && bytes <= 4ull * m_ref.other_size;
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

bool Walker::audio_splits_at(const ByteRange& range)
{
    // Damage near the start fails a few runs too: only many, and none split, tell.
    constexpr int k_runs = 8;
    int runs = 0;
    uint64_t pos = range.begin;
    for (int step = 0; step < 128 && runs < k_runs && pos < range.end; ++step) {
        VideoCandidate c;
        if (video_at(pos, range.end, c)) {
            pos += c.size;
            continue;
        }
        const uint64_t end = next_video(pos + 1, range.end);
        if (end >= range.end)
            break;
        // PCM splits anywhere: its runs must end on the writer's chunk length, where it shows one.
        if (std::any_of(m_framers.begin(), m_framers.end(),
                        [&](const auto& f) { return f->split(m_file + pos, end - pos).exact; }) &&
            (m_pcm_unit == 0 || (end - pos) % m_pcm_unit == 0))
            break;
        // A zeroed block is damage, not another codec.
        static const uint8_t zeros[32] = {};
        runs += std::search(m_file + pos, m_file + end, zeros, zeros + sizeof zeros) == m_file + end;
        pos = end;
    }
    m_probed_pos = UINT64_MAX;
    return runs < k_runs;
}

int Walker::foreign_track(const std::vector<Sample>& samples) const
{
    // A few samples from all over each track: most must look like its own.
    for (size_t a = 0; a < m_framers.size(); ++a) {
        std::vector<const Sample*> own;
        for (const Sample& s : samples)
            if (s.track == m_ref.audio[a])
                own.push_back(&s);
        const size_t every = std::max<size_t>(1, own.size() / 64);
        size_t tried = 0, strange = 0;
        for (size_t i = 0; i < own.size(); i += every, ++tried)
            strange += !m_framers[a]->belongs(m_file + own[i]->pos, own[i]->size);
        if (tried >= 4 && strange * 2 > tried)
            return int(a);
    }
    return -1;
}

WalkResult Walker::walk(const std::vector<ByteRange>& ranges, const Progress& progress)
{
    WalkResult result;
    WalkStats& stats = result.stats;
    for (const ByteRange& r : ranges)
        stats.payload += r.size();
    // Audio of another codec than the reference's leaves every run between
    // pictures unsplit, as if all were damage.
    if (!m_framers.empty() && !ranges.empty() && !audio_splits_at(ranges.front())) {
        stats.foreign_audio = 0;
        return result;
    }
    const uint16_t video_track = uint16_t(m_ref.video);
    uint64_t done_before = 0, next_report = 0;

    for (const ByteRange& range : ranges) {
        uint64_t pos = range.begin;
        bool damaged = false;
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
            // Every sample must fit the stream; after damage it must be followed by more of it as well.
            if (found &&
                (damaged ? m_scanner.plausible(c) && followed_well(pos + c.size, range.end) : believable(pos, c))) {
                const PictureOrder order = m_scanner.accept(m_file + pos, c);
                Sample s;
                s.pos = pos;
                s.size = c.size;
                s.poc = order.poc;
                s.wrap = order.wrap;
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
                damaged = false;
                continue;
            }
            const auto searching = Clock::now();
            uint64_t end = m_pcm_unit && !damaged ? pcm_run_end(pos, range.end) : range.end;
            if (end == range.end)
                end = next_video(pos + 1, range.end);
            const auto splitting = Clock::now();
            stats.search_seconds += std::chrono::duration<double>(splitting - searching).count();
            damaged = !take_gap(pos, end, range, result);
            stats.audio_seconds += since(splitting);
            pos = end;
        }
        done_before += range.size();
    }
    stats.walked = done_before;
    for (const auto& framer : m_framers)
        stats.decoder_calls += framer->decode_calls();
    stats.foreign_audio = foreign_track(result.samples);
    return result;
}

} // namespace vidmend
