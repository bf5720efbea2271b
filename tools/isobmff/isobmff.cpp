#include "isobmff.h"

#include <algorithm>

namespace isobmff {

std::vector<Box> children(const uint8_t* data, size_t size)
{
    std::vector<Box> boxes;
    size_t pos = 0;
    while (size - pos >= 8) {
        const uint8_t* p = data + pos;
        uint64_t box_size = be32(p);
        size_t header = 8;
        if (box_size == 1) {
            if (size - pos < 16)
                break;
            box_size = be64(p + 8);
            header = 16;
        } else if (box_size == 0) {
            box_size = size - pos;
        }
        if (box_size < header || box_size > size - pos)
            break;
        boxes.push_back({be32(p + 4), p, size_t(box_size), header});
        pos += size_t(box_size);
    }
    return boxes;
}

std::string fourcc_text(uint32_t type)
{
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = char(type >> (24 - 8 * i));
        text[size_t(i)] = c >= 0x20 && c <= 0x7e ? c : '?';
    }
    return text;
}

std::vector<FileBox> top_level_boxes(uint64_t file_size, const ReadAt& read, const TakeBox& take, bool wide_zero_to_end)
{
    std::vector<FileBox> boxes;
    uint64_t pos = 0;
    while (file_size - pos >= 8) {
        uint8_t h[16];
        const size_t want = size_t(std::min<uint64_t>(16, file_size - pos));
        if (!read(pos, h, want))
            break;
        FileBox box;
        box.type = be32(h + 4);
        box.offset = pos;
        box.size = be32(h);
        box.to_end = box.size == 0;
        if (box.size == 1) {
            if (want < 16)
                break;
            box.size = be64(h + 8);
            box.header = 16;
            box.to_end = box.size == 0 && wide_zero_to_end;
        }
        if (box.to_end)
            box.size = file_size - pos;
        if (take && !take(box, boxes.size()))
            break;
        if (box.size < box.header)
            break;
        box.complete = box.size <= file_size - pos;
        boxes.push_back(box);
        if (!box.complete)
            break;
        pos += box.size;
    }
    return boxes;
}

std::vector<FileBox> top_level_boxes(const uint8_t* data, uint64_t size, const TakeBox& take, bool wide_zero_to_end)
{
    const ReadAt read = [data](uint64_t offset, uint8_t* out, size_t n) {
        std::copy(data + offset, data + offset + n, out);
        return true;
    };
    return top_level_boxes(size, read, take, wide_zero_to_end);
}

std::optional<Box> find(const std::vector<Box>& boxes, uint32_t type)
{
    for (const Box& box : boxes) {
        if (box.type == type)
            return box;
    }
    return std::nullopt;
}

std::optional<Box> child(const Box& parent, uint32_t type)
{
    return find(children(parent), type);
}

} // namespace isobmff
