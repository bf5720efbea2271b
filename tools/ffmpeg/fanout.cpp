#include "fanout.h"

#include "childprocess.h"

#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace ffexe {

namespace {

bool key_picture(const std::string& tag)
{
    return flv::kind(tag) == flv::Kind::Picture && (static_cast<unsigned char>(tag[flv::k_tag_head]) >> 4) == 1;
}

// A sequence header: the set-up a decoder needs before the stream's first frame of that kind.
bool stream_head(const std::string& tag, int type)
{
    return flv::type(tag) == type && flv::kind(tag) == flv::Kind::Other && tag.size() > flv::k_tag_head + 1 &&
           tag[flv::k_tag_head + 1] == 0;
}

} // namespace

FanOut::FanOut(std::vector<protocol::PushTarget> targets, long long timeout_us, OutputWriter& out)
    : m_out(out)
{
    if (::pipe2(m_news, O_NONBLOCK | O_CLOEXEC) != 0)
        m_news[0] = m_news[1] = -1;
    const int wake = m_news[1];
    for (protocol::PushTarget& target : targets) {
        Way way;
        way.sender = std::make_unique<Sender>(std::move(target), timeout_us, [wake] {
            const char byte = 1;
            [[maybe_unused]] const ssize_t n = ::write(wake, &byte, 1);
        });
        m_ways.push_back(std::move(way));
    }
}

FanOut::~FanOut()
{
    m_ways.clear(); // ends every connection before the pipe goes
    for (const int fd : m_news) {
        if (fd >= 0)
            ::close(fd);
    }
}

void FanOut::begin()
{
    for (Way& way : m_ways)
        start(way);
}

void FanOut::start(Way& way)
{
    way.fresh = true;
    way.joined = false;
    way.from_start = !m_media;
    if (m_header.size() == flv::k_file_header)
        way.sender->set_header(m_header);
    way.sender->begin();
}

void FanOut::again(int destination)
{
    if (destination >= 0 && destination < int(m_ways.size()) && !m_ways[size_t(destination)].sender->running())
        start(m_ways[size_t(destination)]);
}

void FanOut::feed(const char* data, size_t size)
{
    size_t at = 0;
    if (m_header.size() < flv::k_file_header) {
        at = std::min(flv::k_file_header - m_header.size(), size);
        m_header.append(data, at);
        if (m_header.size() == flv::k_file_header) {
            for (Way& way : m_ways)
                way.sender->set_header(m_header);
        }
    }
    for (const std::string& tag : m_tags.feed(data + at, size - at))
        pass(tag);
}

void FanOut::pass(const std::string& tag)
{
    const flv::Kind kind = flv::kind(tag);
    if (flv::type(tag) == flv::k_script) {
        // Only the stream's own metadata; a destination that joins later gets it again.
        if (!m_meta.empty())
            return;
        m_meta = tag;
    } else if (stream_head(tag, flv::k_picture)) {
        m_video_head = tag;
    } else if (stream_head(tag, flv::k_sound)) {
        m_audio_head = tag;
    }
    const bool pictures = m_header.size() > 4 && (m_header[4] & 0x01);
    const bool joins_here = key_picture(tag) || (!pictures && kind == flv::Kind::Sound);
    for (Way& way : m_ways) {
        if (!way.sender->running())
            continue;
        std::string bytes;
        if (!way.joined) {
            if (way.from_start) {
                way.joined = true;
                way.fresh = false;
                way.offset = 0;
            } else if (!joins_here) {
                continue;
            } else {
                bytes = join(way, tag);
            }
        }
        long long at = flv::time(tag) - way.offset;
        if (at < 0 && kind != flv::Kind::Other)
            continue; // from before the key picture this connection began at
        std::string copy = tag;
        flv::set_time(copy, std::max(at, 0LL));
        bytes += copy;
        // A destination that fell too far behind starts again at the next key picture.
        if (!way.sender->push(bytes))
            way.joined = way.from_start = false;
    }
    if (kind != flv::Kind::Other)
        m_media = true;
}

std::string FanOut::join(Way& way, const std::string& tag) const
{
    const bool fresh = way.fresh;
    if (fresh)
        way.offset = flv::time(tag);
    way.fresh = false;
    way.joined = true;
    std::string bytes;
    for (const std::string* head : {&m_meta, &m_video_head, &m_audio_head}) {
        if (head->empty() || (head == &m_meta && !fresh))
            continue;
        std::string copy = *head;
        flv::set_time(copy, std::max(flv::time(tag) - way.offset, 0LL));
        bytes += copy;
    }
    return bytes;
}

void FanOut::report()
{
    char drain[64];
    while (m_news[0] >= 0 && ::read(m_news[0], drain, sizeof drain) > 0) {
    }
    for (size_t i = 0; i < m_ways.size(); ++i) {
        Sender& sender = *m_ways[i].sender;
        for (const Sender::News& news : sender.take_news()) {
            m_out.add_text(protocol::write_dest(
                int(i), news.on_air ? protocol::DestState::On : protocol::DestState::Down, news.why));
        }
        if (!sender.running())
            sender.end(); // its thread has ended: let it go
    }
}

void FanOut::finish(std::chrono::steady_clock::time_point deadline)
{
    for (Way& way : m_ways) {
        if (way.sender->running())
            way.sender->finish();
    }
    const auto all_done = [this] {
        for (Way& way : m_ways) {
            if (!way.sender->done())
                return false;
        }
        return true;
    };
    while (!all_done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    report();
    for (Way& way : m_ways)
        way.sender->end();
}

bool read_push_input(std::string& received, FanOut* fan, const std::function<void(const std::string&)>& answer)
{
    const std::optional<std::string> chunk = read_chunk(STDIN_FILENO, 4096);
    if (!chunk)
        return false;
    received += *chunk;
    while (const std::optional<protocol::PushInput> input = protocol::read_input(received)) {
        if (input->again < 0)
            answer(input->path);
        else if (fan)
            fan->again(input->again);
    }
    return true;
}

} // namespace ffexe
