#pragma once

#include <string>
#include <string_view>

namespace ffexe {

// ffmpeg's log and its progress blocks come through pipes in pieces of any
// size; every reader of them takes whole lines from here. A line ends at
// "\n" or "\r" (ffmpeg ends a status line with the latter).
class LineSplitter
{
public:
    // Calls take(line, end) for each line the pieces so far complete, holding back the partial one.
    template<typename Take>
    void feed(const char* data, size_t size, Take take)
    {
        m_partial.append(data, size);
        size_t start = 0;
        for (size_t end = m_partial.find_first_of("\r\n"); end != std::string::npos;
             end = m_partial.find_first_of("\r\n", start)) {
            take(std::string_view(m_partial).substr(start, end - start), m_partial[end]);
            start = end + 1;
        }
        m_partial.erase(0, start);
    }
    // The last line, when the stream ended without a line break.
    template<typename Take>
    void finish(Take take)
    {
        if (!m_partial.empty())
            take(std::string_view(m_partial), '\n');
        m_partial.clear();
    }

private:
    std::string m_partial;
};

} // namespace ffexe
