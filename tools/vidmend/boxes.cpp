#include "boxes.h"

#include "bitreader.h"

namespace vidmend {

namespace {

bool printable(uint32_t type)
{
    for (int shift = 0; shift < 32; shift += 8) {
        const uint8_t c = uint8_t(type >> shift);
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

bool opens_a_file(uint32_t type)
{
    switch (type) {
    case fourcc("ftyp"):
    case fourcc("moov"):
    case fourcc("mdat"):
    case fourcc("free"):
    case fourcc("skip"):
    case fourcc("wide"):
    case fourcc("pnot"):
    case fourcc("styp"):
        return true;
    default:
        return false;
    }
}

} // namespace

uint64_t FileLayout::media_bytes() const
{
    uint64_t total = 0;
    for (const ByteRange& r : media)
        total += r.size();
    return total;
}

FileLayout scan_boxes(const uint8_t* data, uint64_t size)
{
    FileLayout layout;
    const auto take = [](const isobmff::FileBox& box, size_t index) {
        return printable(box.type) && (index > 0 || opens_a_file(box.type));
    };
    for (const isobmff::FileBox& found : isobmff::top_level_boxes(data, size, take)) {
        Box box;
        box.type = found.type;
        box.offset = found.offset;
        box.header = found.header;
        box.end = found.end(size);
        box.clamped = found.to_end || !found.complete;
        layout.boxes.push_back(box);
        if (box.type == fourcc("moov") && !box.clamped)
            layout.has_moov = true;
        if (box.type == fourcc("mdat") && box.end > box.offset + box.header)
            layout.media.push_back({box.offset + box.header, box.end, box.clamped});
    }
    layout.iso = !layout.boxes.empty();
    return layout;
}

} // namespace vidmend
