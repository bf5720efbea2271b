#include "inputlisting.h"

#include <cctype>

namespace ffexe {

namespace {

// A picture size (" 320x240") in a stream's listing, not a codec tag (" 0x31637661"): a video listed without one
// could not be written.
bool has_size(std::string_view text)
{
    const auto digit = [&](size_t i) { return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); };
    for (size_t x = text.find('x'); x != std::string_view::npos; x = text.find('x', x + 1)) {
        size_t from = x;
        while (from > 0 && digit(from - 1))
            --from;
        if (from < x && from > 0 && text[from - 1] == ' ' && text[from] != '0' && digit(x + 1))
            return true;
    }
    return false;
}

} // namespace

InputListing::Verdict InputListing::take_line(std::string_view line)
{
    if (m_verdict != Verdict::Pending)
        return m_verdict;
    if (line.substr(0, 7) == "Input #") {
        m_in_input = true;
        return m_verdict;
    }
    if (!m_in_input)
        return m_verdict;
    const size_t text = line.find_first_not_of(' ');
    const size_t video = text == std::string_view::npos || line.substr(text, 8) != "Stream #"
                             ? std::string_view::npos
                             : line.find(": Video: ", text);
    if (video != std::string_view::npos && has_size(line.substr(video)))
        m_video = true;
    else if (line.substr(0, 15) == "Stream mapping:" || line.substr(0, 8) == "Output #")
        m_verdict = m_video ? Verdict::Video : Verdict::NoVideo;
    return m_verdict;
}

} // namespace ffexe
