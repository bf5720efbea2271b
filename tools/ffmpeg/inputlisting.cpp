#include "inputlisting.h"

namespace ffexe {

namespace {

bool starts_with(const std::string& text, const char* head)
{
    return text.compare(0, std::char_traits<char>::length(head), head) == 0;
}

} // namespace

InputListing::Verdict InputListing::feed(const char* data, size_t size)
{
    if (m_verdict != Verdict::Pending)
        return m_verdict;
    m_partial.append(data, size);
    size_t start = 0;
    for (size_t end = m_partial.find_first_of("\r\n"); end != std::string::npos && m_verdict == Verdict::Pending;
         end = m_partial.find_first_of("\r\n", start)) {
        take_line(m_partial.substr(start, end - start));
        start = end + 1;
    }
    m_partial.erase(0, start);
    return m_verdict;
}

void InputListing::take_line(const std::string& line)
{
    if (starts_with(line, "Input #")) {
        m_in_input = true;
        return;
    }
    if (!m_in_input)
        return;
    const size_t text = line.find_first_not_of(' ');
    if (text != std::string::npos && line.compare(text, 8, "Stream #") == 0 &&
        line.find(": Video: ", text) != std::string::npos)
        m_video = true;
    else if (starts_with(line, "Stream mapping:") || starts_with(line, "Output #"))
        m_verdict = m_video ? Verdict::Video : Verdict::NoVideo;
}

} // namespace ffexe
