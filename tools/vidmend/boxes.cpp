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

namespace {

// Where the next box begins after a stretch of zeros at `pos` (space a writer
// reserved for its index and never filled, or filled only in part): the first
// header of a box a file holds at its top level past the zeros. `pos` when
// there are no zeros there, the end when no such box follows.
uint64_t past_zeros(const uint8_t* data, uint64_t size, uint64_t pos)
{
    uint64_t q = pos;
    while (q < size && data[q] == 0)
        ++q;
    if (q - pos < 8)
        return pos;
    // The first byte that is not zero lies in the next box's size or type.
    for (uint64_t h = std::max(pos, q - std::min<uint64_t>(q, 4)); h <= q && h + 8 <= size; ++h)
        if (opens_a_file(isobmff::be32(data + h + 4)))
            return h;
    return size;
}

} // namespace

FileLayout scan_boxes(const uint8_t* data, uint64_t size)
{
    FileLayout layout;
    for (uint64_t base = 0; base < size;) {
        const auto take = [](const isobmff::FileBox& box, size_t index) {
            return printable(box.type) && (index > 0 || opens_a_file(box.type));
        };
        uint64_t end = base;
        bool open = false;
        for (const isobmff::FileBox& found : isobmff::top_level_boxes(data + base, size - base, take, true)) {
            Box box;
            box.type = found.type;
            box.offset = base + found.offset;
            box.header = found.header;
            box.end = base + found.end(size - base);
            box.clamped = found.to_end || !found.complete;
            layout.boxes.push_back(box);
            if (box.type == fourcc("moov") && !box.clamped)
                layout.has_moov = true;
            if (box.type == fourcc("mdat") && box.end > box.offset + box.header)
                layout.media.push_back({box.offset + box.header, box.end, box.clamped});
            end = box.end;
            open = box.clamped;
        }
        if (open || end == base)
            break;
        const uint64_t next = past_zeros(data, size, end);
        if (next == end || next >= size)
            break;
        layout.reserved += next - end;
        base = next;
    }
    layout.iso = !layout.boxes.empty();
    return layout;
}

} // namespace vidmend
