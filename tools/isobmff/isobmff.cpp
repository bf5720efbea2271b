#include "isobmff.h"

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
