#include "childlog.h"

#include "childprocess.h"
#include "outputwriter.h"

namespace ffexe {

ChildLog::ChildLog(OutputWriter* out, Mode mode)
    : m_out(out)
    , m_mode(mode)
{}

void ChildLog::read(ChildProcess& child)
{
    const std::optional<std::string> chunk = read_chunk(child.stderr_fd(), 16384);
    if (!chunk) {
        child.close_stderr();
        finish(Clock::now());
    } else if (!chunk->empty()) {
        feed(chunk->data(), chunk->size(), Clock::now());
    }
}

std::string ChildLog::feed(const char* data, size_t size, Clock::time_point now)
{
    std::string out;
    m_lines.feed(data, size, [&](std::string_view line, char end) { out += take(line, end, now); });
    return out;
}

std::string ChildLog::finish(Clock::time_point now)
{
    std::string out;
    m_lines.finish([&](std::string_view line, char end) { out += take(line, end, now); });
    return out;
}

std::string ChildLog::take(std::string_view line, char end, Clock::time_point now)
{
    std::string said = m_mode == Mode::Filtered ? m_filter.take_line(line, now) : std::string(line);
    if (said.empty())
        return said;
    if (on_line)
        on_line(said);
    if (m_mode == Mode::Quiet)
        return {};
    // The phrase goes after the line it was found in: both reach the plug-in.
    const std::optional<protocol::Outcome> phrase = m_phrases.take_line(said);
    said += end;
    if (phrase && !m_hushed)
        said += protocol::write_phrase(*phrase);
    if (m_out)
        m_out->add_text(said);
    return said;
}

} // namespace ffexe
