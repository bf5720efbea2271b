#include "rtmpwire.h"

#include "flvtags.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ffexe::rtmp {

namespace {

constexpr uint32_t k_extended = 0xFFFFFF;        // a time that does not fit 24 bits goes in 32 more
constexpr uint32_t k_largest_message = 1u << 20; // a server's own messages are small

void put_be(std::string& out, uint32_t value, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(char((value >> shift) & 0xFF));
}

uint32_t be(const char* p, int bytes)
{
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | uint8_t(p[i]);
    return value;
}

// AMF0 values read one after another from a command's body.
class AmfReader
{
public:
    explicit AmfReader(std::string_view body)
        : m_body(body)
    {}
    bool at_end() const { return m_pos >= m_body.size(); }
    // One value; its string, when it is one, goes into `text`, its number into `number`.
    bool value(Command& into, const std::string& name, int depth, std::string* text = nullptr, double* number = nullptr)
    {
        if (depth > 16 || !has(1))
            return false;
        const uint8_t marker = uint8_t(m_body[m_pos++]);
        switch (marker) {
        case 0: { // number
            if (!has(8))
                return false;
            uint64_t bits = 0;
            for (int i = 0; i < 8; ++i)
                bits = (bits << 8) | uint8_t(m_body[m_pos++]);
            double value;
            std::memcpy(&value, &bits, sizeof value);
            if (number)
                *number = value;
            return true;
        }
        case 1: // boolean
            return skip(1);
        case 2:    // string
        case 12: { // long string
            std::string read;
            if (!string(marker == 2 ? 2 : 4, read))
                return false;
            if (!name.empty())
                into.fields[name] = read;
            if (text)
                *text = std::move(read);
            return true;
        }
        case 3:   // object
        case 8: { // ECMA array: a count, then as an object
            if (marker == 8 && !skip(4))
                return false;
            for (;;) {
                std::string key;
                if (!string(2, key) || !has(1))
                    return false;
                if (key.empty() && uint8_t(m_body[m_pos]) == 9) {
                    ++m_pos;
                    return true;
                }
                if (!value(into, key, depth + 1))
                    return false;
            }
        }
        case 5: // null
        case 6: // undefined
            return true;
        case 10: { // strict array
            if (!has(4))
                return false;
            const uint32_t count = be(m_body.data() + m_pos, 4);
            m_pos += 4;
            for (uint32_t i = 0; i < count; ++i) {
                if (!value(into, {}, depth + 1))
                    return false;
            }
            return true;
        }
        case 11: // date
            return skip(10);
        default:
            return false;
        }
    }

private:
    bool has(size_t bytes) const { return m_body.size() - m_pos >= bytes; }
    bool skip(size_t bytes)
    {
        if (!has(bytes))
            return false;
        m_pos += bytes;
        return true;
    }
    bool string(int length_bytes, std::string& out)
    {
        if (!has(size_t(length_bytes)))
            return false;
        const uint32_t length = be(m_body.data() + m_pos, length_bytes);
        m_pos += size_t(length_bytes);
        if (!has(length))
            return false;
        out.assign(m_body.substr(m_pos, length));
        m_pos += length;
        return true;
    }

    std::string_view m_body;
    size_t m_pos = 0;
};

} // namespace

std::optional<Address> parse_address(const std::string& url)
{
    Address address;
    const size_t scheme_end = url.find("://");
    if (scheme_end == std::string::npos)
        return std::nullopt;
    const std::string scheme = url.substr(0, scheme_end);
    if (scheme != "rtmp" && scheme != "rtmps")
        return std::nullopt;
    address.tls = scheme == "rtmps";
    const size_t host_begin = scheme_end + 3;
    const size_t path_begin = url.find('/', host_begin);
    if (path_begin == std::string::npos)
        return std::nullopt;
    std::string authority = url.substr(host_begin, path_begin - host_begin);
    if (const size_t at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    address.port = address.tls ? 443 : 1935;
    const size_t bracket = authority.find(']');
    const size_t colon = authority.rfind(':');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        const std::string port = authority.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        address.port = std::stoi(port);
        authority.erase(colon);
    }
    if (authority.size() > 1 && authority.front() == '[' && authority.back() == ']')
        authority = authority.substr(1, authority.size() - 2);
    address.host = authority;
    // The application is the first part of the path, or the first two when three are given
    // ("app/instance/key"); the rest names the stream.
    const std::string path = url.substr(path_begin + 1);
    const size_t first = path.find('/');
    if (address.host.empty() || address.port <= 0 || address.port > 65535 || first == std::string::npos)
        return std::nullopt;
    size_t split = first;
    const size_t second = path.find('/', first + 1);
    const size_t query = path.find('?');
    if (second != std::string::npos && (query == std::string::npos || second < query))
        split = second;
    address.app = path.substr(0, split);
    address.stream = path.substr(split + 1);
    if (address.app.empty() || address.stream.empty())
        return std::nullopt;
    address.tc_url = url.substr(0, path_begin + 1) + address.app;
    return address;
}

void put_message(std::string& out, int chunk_stream, uint8_t type, uint32_t time_ms, uint32_t stream_id,
                 std::string_view body, size_t chunk_size)
{
    const bool extended = time_ms >= k_extended;
    out.push_back(char(chunk_stream & 0x3F)); // type 0: the whole header
    put_be(out, extended ? k_extended : time_ms, 3);
    put_be(out, uint32_t(body.size()), 3);
    out.push_back(char(type));
    for (int i = 0; i < 4; ++i) // the stream id alone is little-endian
        out.push_back(char((stream_id >> (8 * i)) & 0xFF));
    if (extended)
        put_be(out, time_ms, 4);
    for (size_t at = 0; at < body.size(); at += chunk_size) {
        if (at > 0) {
            out.push_back(char(0xC0 | (chunk_stream & 0x3F)));
            if (extended)
                put_be(out, time_ms, 4);
        }
        out.append(body.substr(at, chunk_size));
    }
}

namespace amf {

void string(std::string& out, std::string_view text)
{
    out.push_back(2);
    put_be(out, uint32_t(text.size()), 2);
    out.append(text);
}

void number(std::string& out, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    out.push_back(0);
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(char((bits >> shift) & 0xFF));
}

void null(std::string& out)
{
    out.push_back(5);
}

void object_begin(std::string& out)
{
    out.push_back(3);
}

void key(std::string& out, std::string_view name)
{
    put_be(out, uint32_t(name.size()), 2);
    out.append(name);
}

void object_end(std::string& out)
{
    out.append("\0\0\x09", 3);
}

} // namespace amf

bool ChunkReader::feed(std::string_view bytes, std::vector<Message>& done)
{
    m_pending.append(bytes);
    for (;;) {
        const int taken = take_chunk(done);
        if (taken <= 0)
            return taken == 0;
    }
}

int ChunkReader::take_chunk(std::vector<Message>& done)
{
    const std::string& p = m_pending;
    if (p.empty())
        return 0;
    const int format = uint8_t(p[0]) >> 6;
    size_t at = 1;
    uint32_t id = uint8_t(p[0]) & 0x3F;
    if (id < 2) {
        const size_t extra = id == 0 ? 1 : 2;
        if (p.size() < 1 + extra)
            return 0;
        id = 64 + uint8_t(p[1]) + (extra == 2 ? 256u * uint8_t(p[2]) : 0u);
        at += extra;
    }
    static constexpr size_t header_size[] = {11, 7, 3, 0};
    if (p.size() < at + header_size[format])
        return 0;
    Stream next = m_streams[id];
    uint32_t time_field = 0;
    if (format <= 2)
        time_field = be(p.data() + at, 3);
    if (format <= 1) {
        next.length = be(p.data() + at + 3, 3);
        next.type = uint8_t(p[at + 6]);
    }
    if (format == 0)
        next.stream_id = uint32_t(uint8_t(p[at + 7])) | uint32_t(uint8_t(p[at + 8])) << 8 |
                         uint32_t(uint8_t(p[at + 9])) << 16 | uint32_t(uint8_t(p[at + 10])) << 24;
    if (next.length > k_largest_message)
        return -1;
    at += header_size[format];
    if (format <= 2)
        next.extended = time_field == k_extended;
    if (next.extended) {
        if (p.size() < at + 4)
            return 0;
        time_field = be(p.data() + at, 4);
        at += 4;
    }
    const bool starts = next.body.empty();
    if (format == 0)
        next.time = time_field;
    else if (format <= 2)
        next.delta = time_field;
    if (starts && format != 0)
        next.time += next.delta;
    const size_t size = std::min<size_t>(m_chunk_size, next.length - next.body.size());
    if (p.size() < at + size)
        return 0;
    next.body.append(p, at, size);
    m_pending.erase(0, at + size);
    if (next.body.size() == next.length) {
        Message message{next.type, next.time, next.stream_id, std::move(next.body)};
        next.body.clear();
        if (message.type == SetChunkSize && message.body.size() >= 4)
            m_chunk_size = std::max<size_t>(1, be(message.body.data(), 4) & 0x7FFFFFFF);
        done.push_back(std::move(message));
    }
    m_streams[id] = std::move(next);
    return 1;
}

std::optional<Command> read_command(std::string_view body)
{
    Command command;
    AmfReader reader(body);
    if (!reader.value(command, {}, 0, &command.name) || command.name.empty() ||
        !reader.value(command, {}, 0, nullptr, &command.transaction))
        return std::nullopt;
    while (!reader.at_end()) {
        double number = std::nan("");
        if (!reader.value(command, {}, 0, nullptr, &number))
            break; // what was read before it still counts
        if (!std::isnan(number))
            command.numbers.push_back(number);
    }
    return command;
}

void FlvToRtmp::feed(std::string_view flv, std::string& out)
{
    for (const std::string& tag : m_tags.feed(flv.data(), flv.size())) {
        const int type = flv::type(tag);
        const auto time = uint32_t(flv::time(tag));
        if (type == Audio || type == Video) {
            put_message(out, type == Video ? VideoStream : AudioStream, uint8_t(type), time, m_stream_id,
                        flv::data(tag), m_chunk_size);
        } else if (type == DataAmf0) {
            std::string data;
            if (flv::metadata(tag))
                amf::string(data, "@setDataFrame");
            data.append(flv::data(tag));
            put_message(out, AudioStream, DataAmf0, time, m_stream_id, data, m_chunk_size);
        }
    }
}

} // namespace ffexe::rtmp
