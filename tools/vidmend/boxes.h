#pragma once

#include "isobmff.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vidmend {

using isobmff::fourcc;
using isobmff::fourcc_text;

// A top-level box as the engine reads the file's layout.
struct Box
{
    uint32_t type = 0;
    uint64_t offset = 0;
    uint64_t header = 0;  // 8, or 16 with the 64-bit size form
    uint64_t end = 0;     // clamped to the file
    bool clamped = false; // the size field is 0 or points past the end of the file
};

struct ByteRange
{
    uint64_t begin = 0;
    uint64_t end = 0;
    bool cut = false; // the box was declared longer than the file, or of open size
    uint64_t size() const { return end - begin; }
};

// The top-level boxes of an ISO base media file. A file cut short, or one
// whose writer died before it could fill in the mdat size, still yields its
// mdat payload up to the end of the file.
struct FileLayout
{
    bool iso = false; // begins with a box an MP4 or QuickTime file begins with
    bool has_moov = false;
    std::vector<Box> boxes;
    std::vector<ByteRange> media; // mdat payloads
    uint64_t reserved = 0;        // zeros between boxes passed over: space reserved for an index

    uint64_t media_bytes() const;
};

FileLayout scan_boxes(const uint8_t* data, uint64_t size);

} // namespace vidmend
