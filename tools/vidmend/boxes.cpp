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

std::string fourcc_text(uint32_t type)
{
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = char(type >> (24 - 8 * i));
        text[i] = c >= 0x20 && c <= 0x7e ? c : '?';
    }
    return text;
}

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
    uint64_t off = 0;
    while (off + 8 <= size) {
        Box box;
        box.offset = off;
        box.type = be32(data + off + 4);
        uint64_t box_size = be32(data + off);
        box.header = 8;
        if (box_size == 1) {
            if (off + 16 > size)
                break;
            box_size = be64(data + off + 8);
            box.header = 16;
        }
        if (!printable(box.type) || (layout.boxes.empty() && !opens_a_file(box.type)))
            break;
        if (box_size == 0 || box_size > size - off) {
            box.clamped = true;
            box.end = size;
        } else if (box_size < box.header) {
            break;
        } else {
            box.end = off + box_size;
        }
        layout.boxes.push_back(box);
        if (box.type == fourcc("moov") && !box.clamped)
            layout.has_moov = true;
        if (box.type == fourcc("mdat") && box.end > off + box.header)
            layout.media.push_back({off + box.header, box.end, box.clamped});
        off = box.end;
    }
    layout.iso = !layout.boxes.empty();
    return layout;
}

} // namespace vidmend
