#include "progressrecord.h"

#include "protocol/transcoder.h"

#include <cmath>
#include <cstdlib>

namespace ffexe {

namespace {

long long to_integer(const std::string& value)
{
    char* end = nullptr;
    const long long number = std::strtoll(value.c_str(), &end, 10);
    return end == value.c_str() ? 0 : number;
}

// Also takes " 374.0kbits/s": leading blanks and a trailing unit are ignored.
double to_real(const std::string& value)
{
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    return end == value.c_str() || !std::isfinite(number) ? 0 : number;
}

} // namespace

std::vector<ProgressBlock> ProgressParser::feed(const char* data, size_t size)
{
    std::vector<ProgressBlock> done;
    m_lines.feed(data, size, [&](std::string_view line, char) { take_line(line, done); });
    return done;
}

void ProgressParser::take_line(std::string_view line, std::vector<ProgressBlock>& done)
{
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return;
    const std::string_view key = line.substr(0, eq);
    const std::string value(line.substr(eq + 1));

    if (key == "frame")
        m_block.frame = to_integer(value);
    else if (key == "fps")
        m_block.fps = to_real(value);
    else if (key == "total_size")
        m_block.total_size = to_integer(value);
    else if (key == "out_time_us")
        m_block.out_time_us = to_integer(value);
    else if (key == "bitrate")
        m_block.bitrate = to_real(value);
    else if (key == "progress") {
        // "progress" closes a block.
        m_block.end = value == "end";
        done.push_back(m_block);
        m_block = ProgressBlock();
    }
}

std::string format_record(const ProgressBlock& block)
{
    // Before the first packet the position can be negative; the plug-in wants a time of day.
    const long long cs = block.out_time_us > 0 ? block.out_time_us / 10000 : 0;
    // Rounded without adding first, which would overflow near the largest size.
    const long long kb = block.total_size > 0 ? block.total_size / 1024 + (block.total_size % 1024 >= 512) : 0;
    return protocol::write_progress({block.frame, block.fps, kb, cs, block.bitrate});
}

} // namespace ffexe
