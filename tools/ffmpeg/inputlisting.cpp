#include "inputlisting.h"

namespace ffexe {

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
    if (text != std::string_view::npos && line.substr(text, 8) == "Stream #" &&
        line.find(": Video: ", text) != std::string_view::npos)
        m_video = true;
    else if (line.substr(0, 15) == "Stream mapping:" || line.substr(0, 8) == "Output #")
        m_verdict = m_video ? Verdict::Video : Verdict::NoVideo;
    return m_verdict;
}

} // namespace ffexe
