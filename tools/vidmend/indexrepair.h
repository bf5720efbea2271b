#pragma once

#include "boxes.h"
#include "movieindex.h"
#include "outputfile.h"
#include "reference.h"
#include "repair.h"
#include "walker.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vidmend {

enum class IndexState {
    None,  // no index of its own that lists samples: the media must be walked
    Whole, // every sample the index lists lies in the file, and no box is cut short
    Cut,   // the file ends before what its index lists
};

// A file cut short after its index was written: an index before the media
// ("fast start"), or fragments each with their own index. Keeps every sample
// the index lists that lies wholly in the file, and rebuilds a file whose
// index lists exactly those, with its durations to match.
class IndexRepair
{
public:
    // written and total bytes; false stops the writing
    using Progress = OutputFile::Progress;

    IndexRepair(const uint8_t* file, uint64_t size, const FileLayout& layout);

    IndexState state() const { return m_state; }
    uint64_t kept() const;
    // The movie box at the head was written only in part: it is not used, the
    // media is walked (state() is None).
    bool partial() const { return m_index && m_index->partial; }

    // Writes the repaired file to `path`. False with `error` set, or with
    // stopped() when `progress` said stop.
    bool write(const std::string& path, const Progress& progress, std::string& error);
    bool stopped() const { return m_stopped; }

    // Media no index describes: media boxes after all that the fragment
    // headers describe (their own header was lost or cut off), or the media
    // after the last sample a movie box before it lists (a writer that
    // rewrites its index every few seconds, stopped between two rewrites).
    const std::vector<ByteRange>& undescribed() const { return m_undescribed; }
    // What to walk for undescribed(): the same, or for a movie box, from its
    // last key picture on, so that the walk's first samples are ones the index
    // gives times for.
    std::vector<ByteRange> walk_ranges(const Reference& ref) const;
    // Per track of the reference, the time the index gives the first of
    // `samples` (a walk of walk_ranges()) of that track, in the reference's
    // time base as libavformat counts it; nothing for a track the index does not time there.
    std::vector<std::optional<int64_t>> walk_start(const Reference& ref, const std::vector<Sample>& samples) const;
    // Where the samples the file's own index keeps lie, as a reference's
    // layout: its writer's interleave, for a walk of undescribed().
    std::vector<RefSample> own_layout(const Reference& ref) const;
    // Takes what a walk of walk_ranges() found, timed: after the movie box's
    // own samples, or as one more fragment.
    void add_walked(const Reference& ref, const std::vector<Sample>& samples);

    // What was kept and dropped, per track.
    void summarise(Summary& summary) const;

private:
    struct TrackPlan
    {
        uint64_t listed = 0;
        uint64_t kept = 0;
        uint64_t kept_bytes = 0;
        uint64_t media_end = 0; // decoding time after the last sample kept
        size_t moov_kept = 0;   // samples kept of those the movie box lists
        uint64_t moov_end = 0;  // decoding time after them
        int64_t shift = 0;      // presentation time as libavformat counts it, less the media's
    };
    struct Span
    {
        bool inside = false;
        bool whole_box = false; // in a media box that is not cut short
    };

    Span where(const isobmff::Sample& s) const;
    int track_of(uint32_t id) const;
    // The file's track for each of the reference's, -1 for none.
    std::vector<int> tracks_of(const Reference& ref) const;
    void plan_fragments();
    void plan_tail();
    void add_tail(const Reference& ref, const std::vector<Sample>& samples);
    // The index's sample of track `t` that lies at `pos` with `size` bytes, -1 if none.
    long listed_at(size_t t, uint64_t pos, uint32_t size) const;
    bool fragment_whole(const IndexFragment& f) const;

    bool write_plain(OutputFile& out, std::string& error);
    bool write_fragmented(OutputFile& out, std::string& error);
    // A track's lengths in the rebuilt movie box: its media's, the movie's, and its edits.
    struct TrackTiming
    {
        std::vector<isobmff::Edit> edits;
        bool has_edits = false;
        uint64_t media = 0;
        uint64_t movie = 0;
    };
    std::vector<uint8_t> plain_moov(int64_t shift, uint64_t walked_at) const;
    // Per track of the movie box, and the movie's end.
    std::vector<TrackTiming> plain_timings(const std::vector<isobmff::Box>& traks, uint64_t& movie_end) const;
    // A track's sample table: the samples it keeps, then those walked, at `shift` and from `walked_at`.
    void write_plain_table(isobmff::Writer& out, const isobmff::Box& stbl, size_t index, int64_t shift,
                           uint64_t walked_at) const;
    // A track's samples in a rebuilt movie box: those of its own it keeps, then those walked.
    std::vector<isobmff::Sample> samples_of(size_t t) const;
    std::vector<uint8_t> fragmented_moov() const;
    std::vector<uint8_t> cut_fragment(uint64_t& data_begin, uint64_t& data_end) const;
    std::vector<uint8_t> walked_fragment() const;
    uint64_t movie_duration() const;

    const uint8_t* m_file;
    uint64_t m_size;
    const FileLayout& m_layout;
    std::optional<MovieIndex> m_index;
    IndexState m_state = IndexState::None;
    std::vector<TrackPlan> m_plan;               // per index track
    bool m_plain = true;                         // the movie box itself is rewritten, fragments dropped
    size_t m_complete = 0;                       // fragments kept whole
    bool m_has_cut = false;                      // fragment m_complete is kept in part
    std::vector<std::vector<size_t>> m_cut_kept; // of the cut fragment: samples kept per track fragment and run
    bool m_header_cut = false;                   // the file ends inside a fragment header
    std::vector<ByteRange> m_undescribed;
    uint64_t m_described = UINT64_MAX;                                 // a movie box's samples end here
    std::vector<std::vector<std::pair<uint64_t, size_t>>> m_by_offset; // per index track: its samples by offset
    struct Walked
    {
        size_t track = 0; // index track
        isobmff::Sample sample;
        uint64_t dts = 0;
    };
    std::vector<Walked> m_walked;         // in file order
    std::vector<uint64_t> m_walked_count; // per index track
    bool m_stopped = false;
};

} // namespace vidmend
