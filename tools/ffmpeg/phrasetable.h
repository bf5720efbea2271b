#pragma once

#include "protocol/transcoder.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ffexe {

// ffmpeg does not word every failure the way the plug-in looks for it. A rule
// names a line of ffmpeg's log (read after its "[name @ 0x...] " prefix) and
// what that line says went wrong.
struct PhraseRule
{
    const char* source;   // the prefix's component name starts with this; "" for any line
    const char* begins;   // the text after the prefix starts with this
    const char* contains; // and holds this ("" for anything)
    protocol::Outcome outcome;
};

const std::vector<PhraseRule>& phrase_rules();

// Splits "[tcp @ 0x55d0c2] Connection to ..." into "tcp" and "Connection to ...".
std::string_view strip_log_prefix(std::string_view line, std::string_view* source = nullptr);

// What a single log line says went wrong, if anything.
std::optional<protocol::Outcome> outcome_for_line(std::string_view line);

// Follows ffmpeg's log line by line and names the phrase to print. One
// failure makes ffmpeg log several lines; only the first phrase is printed,
// and none for a line that already holds it.
class PhraseFinder
{
public:
    std::optional<protocol::Outcome> take_line(std::string_view line);

private:
    bool m_reported = false;
};

} // namespace ffexe
