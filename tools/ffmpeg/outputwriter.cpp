#include "outputwriter.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace ffexe {

OutputWriter::OutputWriter(Sink sink, std::chrono::milliseconds gap, WriterTime time)
    : m_sink(std::move(sink))
    , m_gap(gap)
    , m_time(std::move(time))
{}

void OutputWriter::add_progress(std::string record)
{
    if (!m_queue.empty() && m_queue.back().progress)
        m_queue.back().bytes = std::move(record);
    else
        m_queue.push_back({true, std::move(record), m_time.now()});
}

void OutputWriter::add_text(std::string text)
{
    if (!text.empty())
        m_queue.push_back({false, std::move(text), m_time.now()});
}

std::optional<OutputWriter::Clock::time_point> OutputWriter::before_first_record(Clock::time_point now)
{
    const auto record = std::find_if(m_queue.begin(), m_queue.end(), [](const Item& item) { return item.progress; });
    if (record != m_queue.end()) {
        // It goes ahead of the text that waits for it.
        std::rotate(m_queue.begin(), record, record + 1);
        return std::nullopt;
    }
    const Clock::time_point due = m_queue.front().added + m_first_record_wait;
    return now < due ? std::optional(due) : std::nullopt;
}

std::optional<OutputWriter::Clock::time_point> OutputWriter::flush(Clock::time_point now)
{
    while (!m_queue.empty()) {
        if (m_first_record_wait.count() > 0 && !m_last_progress) {
            if (const std::optional<Clock::time_point> due = before_first_record(now))
                return due;
        }
        const bool progress = m_queue.front().progress;
        // The gap is kept after whatever kind of item went out last.
        const std::optional<Clock::time_point>& other = progress ? m_last_text : m_last_progress;
        if (other && now < *other + m_gap)
            return *other + m_gap;
        if (progress) {
            m_sink(m_queue.front().bytes);
            m_queue.pop_front();
            m_last_progress = now;
            continue;
        }
        std::string text;
        while (!m_queue.empty() && !m_queue.front().progress) {
            text += m_queue.front().bytes;
            m_queue.pop_front();
        }
        m_sink(text);
        m_last_text = now;
    }
    return std::nullopt;
}

void OutputWriter::drain()
{
    while (const auto due = flush(m_time.now()))
        m_time.sleep_until(*due);
}

void write_all(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the reader is gone; ffmpeg's work goes on regardless
        done += size_t(n);
    }
}

} // namespace ffexe
