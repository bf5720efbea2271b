#pragma once

#include "boxes.h"
#include "sampletable.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vidmend {

// One track as the damaged file's own movie box describes it.
struct IndexTrack
{
    uint32_t id = 0;
    uint32_t timescale = 0;
    uint32_t handler = 0;                 // 'vide', 'soun', ...
    uint32_t format = 0;                  // of the first sample entry: 'avc1', 'mp4a', ...
    std::vector<isobmff::Sample> samples; // listed in the movie box, in decoding order
    std::vector<isobmff::Chunk> chunks;
};

// A movie fragment header ('moof') that lies whole in the file.
struct IndexFragment
{
    size_t box = 0; // in FileLayout::boxes
    std::vector<isobmff::TrackFragment> trafs;
};

struct MovieIndex
{
    size_t moov = 0; // in FileLayout::boxes
    uint32_t timescale = 0;
    bool fragmented = false; // the movie box announces fragments ('mvex')
    // The movie box was written only in part (space reserved for it at the head
    // of the file, the writer stopped while it filled it): `tracks` holds those
    // that are whole.
    bool partial = false;
    std::vector<IndexTrack> tracks;
    std::vector<IndexFragment> fragments; // after the movie box, in file order
};

// A top-level box of a file in memory, to read its children.
inline isobmff::Box in_memory(const uint8_t* file, const Box& box)
{
    return {box.type, file + box.offset, size_t(box.end - box.offset), size_t(box.header)};
}

// The index a file carries for itself: its whole movie box and the whole
// fragment headers after it. Nothing when there is no whole movie box or no
// track of it can be read.
std::optional<MovieIndex> read_movie_index(const uint8_t* file, const FileLayout& layout);

} // namespace vidmend
