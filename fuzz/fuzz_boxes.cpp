// The repair engine's walk over the top-level boxes of a damaged file: any bytes as the file.

#include "boxes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const vidmend::FileLayout layout = vidmend::scan_boxes(data, size);
    uint64_t end = 0;
    // Boxes follow one another inside the file, and so do the media payloads.
    for (const vidmend::Box& box : layout.boxes) {
        if (box.offset != end || box.end < box.offset + box.header || box.end > size)
            __builtin_trap();
        end = box.end;
    }
    uint64_t media = 0;
    for (const vidmend::ByteRange& range : layout.media) {
        if (range.begin < media || range.begin >= range.end || range.end > size)
            __builtin_trap();
        media = range.end;
    }
    return 0;
}
