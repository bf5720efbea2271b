#pragma once

#include "lines.h"

#include <string>
#include <vector>

namespace ffexe {

// One block of ffmpeg's "-progress" output; values it reports as N/A are 0.
struct ProgressBlock
{
    long long frame = 0;
    double fps = 0;
    long long total_size = 0; // bytes
    long long out_time_us = 0;
    double bitrate = 0; // kbit/s
    bool end = false;   // the block ffmpeg writes as it finishes
};

// Assembles blocks from the progress pipe, which may split them anywhere.
class ProgressParser
{
public:
    std::vector<ProgressBlock> feed(const char* data, size_t size);

private:
    void take_line(std::string_view line, std::vector<ProgressBlock>& done);

    LineSplitter m_lines;
    ProgressBlock m_block;
};

// The record the plug-in scans, one line in the shared format.
std::string format_record(const ProgressBlock& block);

} // namespace ffexe
