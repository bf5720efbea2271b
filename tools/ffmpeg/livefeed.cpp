#include "livefeed.h"

namespace ffexe {

namespace {

bool same_data(const std::string& a, const std::string& b)
{
    return !a.empty() && !b.empty() && flv::data(a) == flv::data(b);
}

} // namespace

void LiveFeed::feed(const char* data, size_t size, Clock::time_point now)
{
    // The source's own file header goes: its flags can be wrong (an rtmp reader
    // guesses them from metadata) and every file gets one of its own.
    const size_t skipped = std::min(m_header_left, size);
    m_header_left -= skipped;
    for (std::string& tag : m_tags.feed(data + skipped, size - skipped))
        take(std::move(tag), now);
    tick(now);
}

void LiveFeed::tick(Clock::time_point now)
{
    if (const std::optional<Clock::time_point> due = deadline(); due && now >= *due)
        begin_file(nullptr);
}

void LiveFeed::end()
{
    if (!m_writing && !m_held.empty())
        begin_file(nullptr);
}

std::optional<LiveFeed::Clock::time_point> LiveFeed::deadline() const
{
    if (m_writing || !m_waiting_since)
        return std::nullopt;
    return *m_waiting_since + k_picture_wait;
}

void LiveFeed::take(std::string tag, Clock::time_point now)
{
    const int type = flv::type(tag);
    // Metadata goes at the beginning of a file: read off the pipe later on it
    // tells the writer nothing it uses, and a new size in it is no new set of parameters.
    if (type == flv::k_script) {
        if (flv::metadata(tag))
            m_script = std::move(tag);
        return;
    }
    if (type != flv::k_sound && type != flv::k_picture)
        return;
    if (type == flv::k_sound)
        m_sound = true;
    if (!m_writing && !m_waiting_since)
        m_waiting_since = now;
    if (flv::sequence_header(tag)) {
        std::string& kept = type == flv::k_picture ? m_picture_header : m_sound_header;
        kept = tag;
        if (!m_writing)
            return;
        if (type == flv::k_picture && !same_data(tag, m_file_picture_header)) {
            if (m_one_set) {
                // The file cannot hold these pictures: it ends here, and the next one begins with them.
                m_writing = false;
                m_waiting_since = now;
                if (on_next_file)
                    on_next_file();
                return;
            }
            m_file_picture_header = tag;
        }
        send(std::move(tag));
        return;
    }
    if (flv::kind(tag) != flv::Kind::Other) {
        const WallClock::Stream stream = type == flv::k_picture ? WallClock::Pictures : WallClock::Sound;
        std::optional<long long> jump;
        flv::set_time(tag, m_clock.place(stream, flv::time(tag), now, &jump));
        if (jump && on_jump)
            on_jump(*jump);
    }
    if (m_writing) {
        send(std::move(tag));
    } else if (flv::key_picture(tag)) {
        begin_file(&tag);
    } else if (type == flv::k_sound) {
        m_held.push_back(std::move(tag));
    }
    // Pictures before the first key picture cannot be decoded: they go.
}

void LiveFeed::begin_file(const std::string* key)
{
    m_writing = true;
    m_waiting_since.reset();
    m_file_picture_header = key ? m_picture_header : std::string();
    std::string bytes = flv::file_header(m_sound, key != nullptr);
    const long long from = key ? flv::time(*key) : 0;
    for (const std::string* head : {&m_script, &m_sound_header, &m_file_picture_header}) {
        if (head->empty())
            continue;
        std::string tag = *head;
        // Metadata at any other time reads as a stream of text.
        flv::set_time(tag, head == &m_script ? 0 : from);
        bytes += tag;
    }
    if (key)
        bytes += *key;
    // The sound that came with the picture stays; what came before it goes.
    for (const std::string& tag : m_held) {
        if (flv::time(tag) >= from)
            bytes += tag;
    }
    m_held.clear();
    send(std::move(bytes));
}

void LiveFeed::send(std::string bytes)
{
    if (on_bytes)
        on_bytes(std::move(bytes));
}

} // namespace ffexe
