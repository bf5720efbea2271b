#pragma once

#include "isobmff.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// Where a track's samples lie and when they play: the sample tables of a
// movie box (ISO/IEC 14496-12 8.6, 8.7) and the track fragments of a movie
// fragment (8.8), read into one form and written back as tables.
namespace isobmff {

// 8.8.3.1 sample_flags: sample_is_non_sync_sample.
constexpr uint32_t k_non_sync = 0x00010000;
// More than a day of video and audio; a count beyond it is a damaged header.
constexpr size_t k_max_samples = 1u << 24;
// Samples of one fragment run with nothing said of each (fixed-size sound).
constexpr uint32_t k_max_plain_run = 1u << 20;

struct Sample
{
    uint64_t offset = 0;
    uint32_t size = 0;
    uint32_t duration = 0;
    int64_t cts = 0; // composition offset
    bool sync = true;
};

struct Chunk
{
    uint64_t offset = 0;
    uint32_t samples = 0;
    uint32_t description = 1; // sample description index
};

uint64_t rescale(uint64_t value, uint32_t from, uint32_t to);

// Reads the tables of a sample table box ('stbl'). False when they are
// malformed or contradict each other; tables that run short of the sample
// count leave later durations and offsets at zero.
bool read_sample_tables(const Box& stbl, std::vector<Sample>& samples, std::vector<Chunk>& chunks);

// Writes the decoding times, composition offsets, sync samples, chunks,
// sizes and chunk offsets of `samples` (without the 'stbl' box around them).
void write_sample_tables(Writer& w, const std::vector<Sample>& samples, const std::vector<Chunk>& chunks);

// mvhd, tkhd and mdhd share their start: version, two times, then (for
// tkhd a track id and a reserved word) the duration. Copies `box` with a new
// duration; `before_duration` is what lies between the times and the
// duration. The version grows when the duration needs 64 bits.
void write_with_duration(Writer& w, const Box& box, size_t before_duration, uint64_t duration);

// How write_track() changes a track box ('trak') as it copies it.
struct TrackRewrite
{
    uint64_t movie_duration = 0; // for the track header, in the movie's time scale
    uint64_t media_duration = 0; // for the media header, in the track's
    // Writes the sample table box in place of `stbl`.
    std::function<void(Writer& w, const Box& stbl)> sample_table;
    // Given each other child of the track box, may write it (or nothing) and
    // say it did; a child it leaves is copied.
    std::function<bool(Writer& w, const Box& box)> other;
};
void write_track(Writer& w, const Box& trak, const TrackRewrite& rewrite);

// 8.6.6 edit list entries.
struct Edit
{
    uint64_t duration = 0; // movie time scale
    int64_t media_time = 0;
    uint32_t rate = 0x10000;
};
// The edits of a track box; false when it has no edit list.
bool read_edits(const Box& trak, std::vector<Edit>& edits);
// Writes an edit box ('edts') holding `edits`.
void write_edits(Writer& w, const std::vector<Edit>& edits);
// Cuts `edits` at movie time `end`; returns where they then end.
uint64_t clamp_edits(std::vector<Edit>& edits, uint64_t end);

// Copies of per-sample tables for the first `samples` samples only: 8.6.4
// sample dependency types ('sdtp', a byte a sample) and 8.9.2 sample to
// group ('sbgp', runs of samples).
void copy_dependencies(Writer& w, const Box& sdtp, size_t samples);
void copy_groups(Writer& w, const Box& sbgp, size_t samples);

// The track id of a track header ('tkhd').
std::optional<uint32_t> track_id(const Box& tkhd);
// The time scale of a movie or media header ('mvhd', 'mdhd').
uint32_t timescale(const Box& header);

// 8.8.3 Track extends: a track's defaults for its fragments.
struct TrackDefaults
{
    uint32_t track_id = 0;
    uint32_t description = 1;
    uint32_t duration = 0;
    uint32_t size = 0;
    uint32_t flags = 0;
};
std::optional<TrackDefaults> read_trex(const Box& trex);

// One track fragment ('traf') with its runs, sample positions resolved.
struct TrackRun
{
    std::vector<Sample> samples;
    std::vector<uint32_t> flags; // each sample's sample_flags
};
struct TrackFragment
{
    uint32_t track_id = 0;
    uint32_t description = 1;
    std::optional<uint64_t> decode_time; // 'tfdt'
    std::vector<TrackRun> runs;
    uint64_t data_end = 0; // the base of a following fragment that names none
};

// `moof_offset` is where the movie fragment lies in the file, `previous_end`
// where the track fragment before this one in it ended (the moof's offset for
// the first). False when the header is missing or malformed; a run cut short
// keeps the samples it describes in full.
bool read_track_fragment(const Box& traf, uint64_t moof_offset, uint64_t previous_end,
                         const std::vector<TrackDefaults>& defaults, TrackFragment& out);

} // namespace isobmff
