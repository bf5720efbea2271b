#pragma once

#include "formattable.h"
#include "inputprobe.h"

#include <optional>
#include <string>
#include <vector>

namespace ffexe {

// A conversion of a local file into one of the table's containers, asked
// with the options the conversion window gives.
struct ConversionRequest
{
    std::vector<std::string> input_options; // "-re"
    std::string input;
    std::string output;
    std::string rate;              // "-r" as given; empty: none
    int width = 0, height = 0;     // "-s"; 0: none
    std::string bitrate;           // "-b:v" as given; empty: none
    bool copy = false;             // streams that fit the container are copied
    std::vector<std::string> args; // as given, without the copy request
    const Container* container = nullptr;
};

// The request in `args`; nothing when they ask for anything else (another
// option, a network address, an output outside the table).
std::optional<ConversionRequest> read_conversion(std::vector<std::string> args);

// ffmpeg's arguments, without its head, that fit `input` into the request's
// container; `box` picks the container's picture box (the next when a picture
// turned out too big).
std::vector<std::string> plan_conversion(const ConversionRequest& request, const InputInfo& input, size_t box = 0);

} // namespace ffexe
