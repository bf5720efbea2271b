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

struct ConversionPlan
{
    std::vector<std::string> args; // ffmpeg's, without its head
    // ffmpeg hands raw pictures and encoded sound on its standard output
    // (NUT); FFmpeg.exe encodes the pictures and writes the output itself.
    bool encoded_here = false;
};

// What fits `input` into the request's container.
ConversionPlan plan_conversion(const ConversionRequest& request, const InputInfo& input);

// The request's "-b:v" in bits per second; 0 when none was given.
long long bitrate_of(const ConversionRequest& request);

} // namespace ffexe
