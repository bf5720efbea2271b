#pragma once

#include "audioframer.h"
#include "audioschedule.h"
#include "boxes.h"
#include "reference.h"
#include "videoscanner.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace vidmend {

struct Sample
{
    uint64_t pos = 0;
    uint32_t size = 0;
    int32_t poc = 0;    // video: picture order count
    int32_t wrap = 0;   // video: the span of counts after which what they are derived from wraps, 0 if unknown
    uint16_t track = 0; // index into Reference::tracks
    bool key = false;
    bool period_start = false; // video: picture order counts start again here
    uint32_t loss = 0;         // bytes skipped just before this sample
    int64_t duration = 0;      // in the track's time base, set once the walk is over
    int64_t pts = 0;           // in the track's time base, set once the walk is over
    int64_t dts = 0;
};

struct WalkStats
{
    uint64_t payload = 0; // media bytes of the damaged file
    uint64_t walked = 0;
    uint64_t video_bytes = 0;
    uint64_t audio_bytes = 0;
    uint64_t skipped = 0;                             // bytes that are neither video nor audio
    uint64_t skipped_runs = 0;                        // damaged spots: stretches of such bytes
    std::vector<std::pair<uint64_t, uint64_t>> spans; // where each of them lies in the file, begin and end
    uint64_t dropped_tail = 0;                        // a cut-off last sample
    uint64_t other = 0;                               // samples of tracks not repaired (text, timecode)
    uint64_t dropped_frames = 0;                      // audio frames after damage that fit no track
    uint64_t decoder_calls = 0;
    double search_seconds = 0; // looking for the next video sample after one that is not followed by another
    double audio_seconds = 0;  // cutting audio runs into frames
    double damage_seconds = 0; // finding where good data resumes after damage
    bool stopped = false;
    int foreign_audio = -1; // an audio track (index into Reference::audio) the recording holds in another form
};

struct WalkResult
{
    std::vector<Sample> samples; // in file order
    WalkStats stats;
};

// Walks the media payload of a damaged file: video samples are recognised by
// their NAL unit chains, the stretches between them are cut into audio
// frames and given to their tracks, and whatever is neither is skipped and
// counted. After damage the walk takes up again at the first place where a
// sample that fits the stream begins and is followed by more of the stream.
class Walker
{
public:
    // done and total bytes; false stops the walk
    using Progress = std::function<bool(uint64_t, uint64_t)>;

    Walker(const Reference& ref, const uint8_t* file);
    ~Walker();

    WalkResult walk(const std::vector<ByteRange>& ranges, const Progress& progress);

    // Where the stream begins in bytes whose head is lost (no box structure,
    // a card's first sectors gone): the first video sample that fits the
    // reference's and is followed by more of the stream; `end` if none is.
    uint64_t find_start(uint64_t begin, uint64_t end);

private:
    bool video_at(uint64_t pos, uint64_t end, VideoCandidate& c);
    // Whether a sample found at `pos` fits the stream: it does as the
    // stream's own samples do, or swallows no sample that does.
    bool believable(uint64_t pos, const VideoCandidate& c);
    uint64_t next_video(uint64_t from, uint64_t end);
    // PCM: the first video sample a whole number of the reference's run units
    // after `from`, within the longest run; `end` if there is none.
    uint64_t pcm_run_end(uint64_t from, uint64_t end);
    // Whether what follows a sample ending at `pos` is more of the stream.
    bool followed_well(uint64_t pos, uint64_t end);
    // The next video sample at or after `from` that fits the stream and is followed well.
    uint64_t next_anchor(uint64_t from, uint64_t end);
    // The first place in [from, end) from which audio frames run exactly up to `end`.
    uint64_t audio_resumes(uint64_t from, uint64_t end, AudioFramer::Result& frames);
    bool take_gap(uint64_t begin, uint64_t& end, const ByteRange& range, WalkResult& result);
    bool damaged_from(uint64_t pos, uint64_t& end, const ByteRange& range, WalkResult& result);
    // Where the first run of zeros longer than any run of the reference's
    // begins in [begin, end); `end` if there is none. Sound is never that silent.
    uint64_t hole_in(uint64_t begin, uint64_t end) const;
    void give_frames(const std::vector<std::pair<uint64_t, uint32_t>>& frames, bool after_damage, WalkResult& result);
    bool complete_at_end(const VideoCandidate& c) const;
    // Whether a stretch that is neither pictures nor sound may be samples of the reference's other tracks.
    bool others(uint64_t bytes) const;
    // Whether the runs between the first pictures split into frames of the
    // reference's audio; false when none of several does.
    bool audio_splits_at(const ByteRange& range);
    // An audio track whose samples do not look like its codec's, -1 if none.
    int foreign_track(const std::vector<Sample>& samples) const;
    void push(Sample s, WalkResult& result);

    const Reference& m_ref;
    const uint8_t* m_file;
    VideoScanner m_scanner;
    std::vector<std::unique_ptr<AudioFramer>> m_framers; // per audio track
    std::unique_ptr<AudioSchedule> m_schedule;
    uint32_t m_max_frame = 0;
    uint64_t m_longest_run = 0;    // bytes of audio between two pictures in the reference, at most
    uint64_t m_run_limit = 0;      // a longer run of "audio", or of zeros, is damage
    uint64_t m_pcm_unit = 0;       // PCM: every run of the reference is a multiple of this many bytes
    bool m_distinct_lanes = false; // each audio track's frames begin differently

    // The last probe that found a sample, so the walk does not probe it twice.
    uint64_t m_probed_pos = UINT64_MAX;
    VideoCandidate m_probed;

    std::vector<uint64_t> m_slice_counts; // accepted samples by number of slices
    uint64_t m_with_trailer = 0;
    uint64_t m_accepted = 0;
    uint64_t m_loss_pending = 0;
};

} // namespace vidmend
