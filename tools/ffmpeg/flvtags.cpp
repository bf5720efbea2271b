#include "flvtags.h"

#include "isobmff.h"

#include <algorithm>

namespace ffexe {

namespace flv {

namespace {

uint32_t be24_at(const std::string& bytes, size_t at)
{
    return isobmff::be24(reinterpret_cast<const uint8_t*>(bytes.data() + at));
}

void put_be24(std::string& bytes, size_t at, uint32_t value)
{
    bytes[at] = char((value >> 16) & 0xff);
    bytes[at + 1] = char((value >> 8) & 0xff);
    bytes[at + 2] = char(value & 0xff);
}

unsigned byte(const std::string& tag, size_t at)
{
    return static_cast<unsigned char>(tag[at]);
}

bool has_composition(const std::string& tag)
{
    const unsigned codec = byte(tag, k_tag_head) & 0x0f;
    return type(tag) == k_picture && tag.size() >= k_tag_head + 5 + 4 && (codec == 7 || codec == 12);
}

} // namespace

std::vector<std::string> TagReader::feed(const char* data, size_t size)
{
    m_partial.append(data, size);
    std::vector<std::string> tags;
    size_t at = 0;
    while (m_partial.size() - at >= k_tag_head) {
        const size_t whole = k_tag_head + be24_at(m_partial, at + 1) + 4;
        if (m_partial.size() - at < whole)
            break;
        tags.push_back(m_partial.substr(at, whole));
        at += whole;
    }
    m_partial.erase(0, at);
    return tags;
}

int type(const std::string& tag)
{
    return tag[0] & 0x1f;
}

long long time(const std::string& tag)
{
    return static_cast<long long>(byte(tag, 7)) << 24 | be24_at(tag, 4);
}

void set_time(std::string& tag, long long ms)
{
    const auto t = static_cast<uint32_t>(std::max(ms, 0LL));
    put_be24(tag, 4, t & 0xffffff);
    tag[7] = char((t >> 24) & 0xff);
}

long long composition(const std::string& tag)
{
    if (!has_composition(tag))
        return 0;
    long value = long(be24_at(tag, 13));
    if (value & 0x800000)
        value -= 0x1000000;
    return value;
}

void set_composition(std::string& tag, long long value)
{
    if (has_composition(tag))
        put_be24(tag, 13, static_cast<uint32_t>(value) & 0xffffff);
}

Kind kind(const std::string& tag)
{
    if (tag.size() < k_tag_head + 2 + 4)
        return Kind::Other;
    const unsigned d0 = byte(tag, k_tag_head), d1 = byte(tag, k_tag_head + 1);
    if (type(tag) == k_picture) {
        if ((d0 >> 4) == 5) // a command frame
            return Kind::Other;
        const unsigned codec = d0 & 0x0f;
        return (codec == 7 || codec == 12) && d1 != 1 ? Kind::Other : Kind::Picture;
    }
    if (type(tag) == k_sound)
        return (d0 >> 4) == 10 && d1 != 1 ? Kind::Other : Kind::Sound;
    return Kind::Other;
}

} // namespace flv

std::string HeaderCut::feed(const char* data, size_t size)
{
    const size_t take = std::min(flv::k_file_header - m_header.size(), size);
    m_header.append(data, take);
    std::string out;
    if (m_keep && take > 0 && m_header.size() == flv::k_file_header)
        out = m_header;
    if (size > take) {
        m_body = true;
        out.append(data + take, size - take);
    }
    return out;
}

std::optional<bool> HeaderCut::has_sound() const
{
    if (m_header.size() < 5)
        return std::nullopt;
    return (m_header[4] & 0x04) != 0;
}

} // namespace ffexe
