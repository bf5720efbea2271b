#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Boxes of ISO/IEC 14496-12 (MP4, and QuickTime's atoms of the same shape)
// read from bytes in memory and written to a growing buffer.
namespace isobmff {

constexpr uint32_t fourcc(const char (&name)[5])
{
    return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 | uint32_t(uint8_t(name[2])) << 8 |
           uint32_t(uint8_t(name[3]));
}

// The four characters of a type, with '?' for what does not print.
std::string fourcc_text(uint32_t type);

inline uint32_t be16(const uint8_t* p)
{
    return uint32_t(p[0]) << 8 | p[1];
}

inline uint32_t be24(const uint8_t* p)
{
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

inline uint32_t be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline uint64_t be64(const uint8_t* p)
{
    return uint64_t(be32(p)) << 32 | be32(p + 4);
}

// Bounds-checked reading of a box's payload: reading past its end yields
// zeros and clears ok().
class Reader
{
public:
    Reader(const uint8_t* data, size_t size)
        : m_data(data)
        , m_size(size)
    {}

    bool ok() const { return m_ok; }
    size_t pos() const { return m_pos; }
    size_t left() const { return m_size - m_pos; }
    uint8_t u8() { return take(1) ? m_data[m_pos - 1] : 0; }
    uint32_t u32() { return take(4) ? be32(m_data + m_pos - 4) : 0; }
    uint64_t u64() { return take(8) ? be64(m_data + m_pos - 8) : 0; }
    uint64_t uint(bool wide) { return wide ? u64() : u32(); }
    void skip(size_t n) { take(n); }
    const uint8_t* here() const { return m_data + m_pos; }

private:
    bool take(size_t n)
    {
        if (!m_ok || m_size - m_pos < n) {
            m_ok = false;
            return false;
        }
        m_pos += n;
        return true;
    }

    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
    bool m_ok = true;
};

struct Box
{
    uint32_t type = 0;
    const uint8_t* whole = nullptr; // header included
    size_t size = 0;
    size_t header = 0;

    const uint8_t* payload() const { return whole + header; }
    size_t payload_size() const { return size - header; }
};

// The child boxes of a payload; stops at the first malformed one.
std::vector<Box> children(const uint8_t* data, size_t size);
inline std::vector<Box> children(const Box& parent)
{
    return children(parent.payload(), parent.payload_size());
}

std::optional<Box> find(const std::vector<Box>& boxes, uint32_t type);
std::optional<Box> child(const Box& parent, uint32_t type);

// A box at the top level of a file, as its header declares it.
struct FileBox
{
    uint32_t type = 0;
    uint64_t offset = 0;
    uint64_t size = 0;     // as declared, or up to the end of the file for a size of 0
    uint32_t header = 8;   // 16 with the 64-bit size form
    bool complete = false; // all of it lies inside the file
    bool to_end = false;   // its size field says "to the end of the file"

    // Where it ends within the file.
    uint64_t end(uint64_t file_size) const { return complete ? offset + size : file_size; }
};

// Fills `size` bytes from `offset` of the file; false when it cannot.
using ReadAt = std::function<bool(uint64_t offset, uint8_t* out, size_t size)>;
// Decides whether the walk takes a box it found; the walk stops at the first it does not.
using TakeBox = std::function<bool(const FileBox& box, size_t index)>;

// The top-level boxes of a file of `file_size` bytes, in order. The walk stops
// after a box that runs past the end of the file, and before a malformed one.
// With `wide_zero_to_end` a 64-bit size of 0 runs to the end of the file as a
// 32-bit one does (a writer killed before it filled the field in); without it
// such a box is malformed.
std::vector<FileBox> top_level_boxes(uint64_t file_size, const ReadAt& read, const TakeBox& take = nullptr,
                                     bool wide_zero_to_end = false);
// The same over bytes in memory.
std::vector<FileBox> top_level_boxes(const uint8_t* data, uint64_t size, const TakeBox& take = nullptr,
                                     bool wide_zero_to_end = false);

class Writer
{
public:
    void u8(uint8_t v) { m_buf.push_back(v); }
    void u16(uint16_t v)
    {
        u8(uint8_t(v >> 8));
        u8(uint8_t(v));
    }
    void u32(uint32_t v)
    {
        u16(uint16_t(v >> 16));
        u16(uint16_t(v));
    }
    void u64(uint64_t v)
    {
        u32(uint32_t(v >> 32));
        u32(uint32_t(v));
    }
    void uint(uint64_t v, bool wide) { wide ? u64(v) : u32(uint32_t(v)); }
    void bytes(const uint8_t* data, size_t size) { m_buf.insert(m_buf.end(), data, data + size); }
    void copy(const Box& box) { bytes(box.whole, box.size); }

    size_t begin(uint32_t type)
    {
        const size_t start = m_buf.size();
        u32(0);
        u32(type);
        return start;
    }
    size_t begin_full(uint32_t type, uint8_t version, uint32_t flags)
    {
        const size_t start = begin(type);
        u32(uint32_t(version) << 24 | (flags & 0xffffff));
        return start;
    }
    void end(size_t start) { put32(start, uint32_t(m_buf.size() - start)); }
    // Overwrites four bytes written before, for a field known only later.
    void put32(size_t at, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            m_buf[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
    }

    size_t size() const { return m_buf.size(); }
    const std::vector<uint8_t>& data() const { return m_buf; }

private:
    std::vector<uint8_t> m_buf;
};

} // namespace isobmff
