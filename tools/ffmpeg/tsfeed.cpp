#include "tsfeed.h"

#include <algorithm>

namespace ffexe {

namespace {

using Bytes = const unsigned char*;

int pid_of(Bytes p)
{
    return ((p[1] & 0x1f) << 8) | p[2];
}

bool unit_starts(Bytes p)
{
    return p[1] & 0x40;
}

// Where the payload begins; the packet's size when it has none.
size_t payload_at(Bytes p)
{
    const int control = (p[3] >> 4) & 3;
    if (!(control & 1))
        return TsFeed::k_packet;
    const size_t at = (control & 2) ? 5 + size_t(p[4]) : 4;
    return std::min(at, TsFeed::k_packet);
}

// The writer marks a packet where a picture can be decoded from.
bool random_access(Bytes p)
{
    return (p[3] & 0x20) && p[4] > 0 && (p[5] & 0x40);
}

// A packet whose adaptation field is padded: a PES that does not fill its last packet is padded so, which ends it.
bool stuffed(Bytes p)
{
    if (!(p[3] & 0x20) || p[4] == 0)
        return false;
    const int flags = p[5];
    size_t used = 1;
    if (flags & 0x10)
        used += 6; // PCR
    if (flags & 0x08)
        used += 6; // OPCR
    if (flags & 0x04)
        used += 1; // splice countdown
    if ((flags & 0x02) && 5 + used < TsFeed::k_packet)
        used += 1 + p[5 + used]; // private data
    if ((flags & 0x01) && 5 + used < TsFeed::k_packet)
        used += 1 + p[5 + used]; // extension
    return p[4] > used;
}

// A table section's bytes [begin, end) in this packet, past the pointer field; false when it does not fit.
bool section(Bytes p, size_t& begin, size_t& end)
{
    const size_t at = payload_at(p);
    if (at >= TsFeed::k_packet)
        return false;
    begin = at + 1 + p[at];
    if (begin + 3 > TsFeed::k_packet)
        return false;
    end = std::min(begin + 3 + (((p[begin + 1] & 0x0f) << 8) | p[begin + 2]), TsFeed::k_packet);
    return end >= begin + 12;
}

bool picture_type(int type)
{
    return type == 0x01 || type == 0x02 || type == 0x10 || type == 0x1b || type == 0x24 || type == 0x42 || type == 0xea;
}

bool sound_type(int type)
{
    return type == 0x03 || type == 0x04 || type == 0x0f || type == 0x11 || type == 0x1c ||
           (type >= 0x81 && type <= 0x87);
}

// Private data that is sound: AC-3, E-AC-3 or DTS descriptors, or registered as Opus.
bool private_sound(Bytes d, size_t size)
{
    for (size_t i = 0; i + 2 <= size; i += 2 + d[i + 1]) {
        const int tag = d[i];
        if (tag == 0x6a || tag == 0x7a || tag == 0x7b)
            return true;
        if (tag == 0x05 && d[i + 1] >= 4 && i + 6 <= size && std::equal(d + i + 2, d + i + 6, "Opus"))
            return true;
    }
    return false;
}

// Where the picture's own bytes begin in a packet that begins its PES; the packet's size when they do not.
size_t picture_at(Bytes p)
{
    const size_t at = payload_at(p);
    if (at + 9 > TsFeed::k_packet || p[at] != 0 || p[at + 1] != 0 || p[at + 2] != 1)
        return TsFeed::k_packet;
    return std::min(at + 9 + p[at + 8], TsFeed::k_packet);
}

// A start code at `i`, with the byte after it, in `size` bytes.
bool start_code(Bytes p, size_t i, size_t size)
{
    return i + 3 < size && !p[i] && !p[i + 1] && p[i + 2] == 1;
}

// The sequence parameter set among the first bytes of a picture (H.264, HEVC), from its start code to the next;
// nothing when they hold none whole.
std::string sequence_set(const std::string& bytes, int type)
{
    const auto* p = reinterpret_cast<Bytes>(bytes.data());
    const size_t size = bytes.size();
    for (size_t i = 0; i + 3 < size; ++i) {
        if (!start_code(p, i, size))
            continue;
        const int code = p[i + 3];
        if ((type == 0x1b && (code & 0x1f) == 7) || (type == 0x24 && ((code >> 1) & 0x3f) == 33)) {
            size_t end = i + 3;
            while (end + 3 < size && !start_code(p, end, size))
                ++end;
            return end + 3 < size ? bytes.substr(i, end - i) : std::string();
        }
    }
    return {};
}

// A packet that begins a picture from which decoding can start: marked so, or holding the start of one.
bool key_picture(Bytes p, int type)
{
    if (random_access(p))
        return true;
    for (size_t i = picture_at(p); i + 3 < TsFeed::k_packet; ++i) {
        if (!start_code(p, i, TsFeed::k_packet))
            continue;
        const int code = p[i + 3];
        if (type == 0x1b && ((code & 0x1f) == 5 || (code & 0x1f) == 7))
            return true;
        const int hevc = (code >> 1) & 0x3f;
        if (type == 0x24 && ((hevc >= 16 && hevc <= 23) || hevc == 32 || hevc == 33))
            return true;
        if ((type == 0x01 || type == 0x02) && code == 0xb3)
            return true;
    }
    return false;
}

} // namespace

void TsFeed::feed(const char* data, size_t size, Clock::time_point now)
{
    if (!m_since)
        m_since = now;
    m_partial.append(data, size);
    size_t at = 0;
    while (m_partial.size() - at >= k_packet) {
        if (m_partial[at] != 0x47) { // lost step: on to the next sync byte
            const size_t next = m_partial.find('\x47', at + 1);
            at = next == std::string::npos ? m_partial.size() : next;
            continue;
        }
        take(m_partial.substr(at, k_packet), now);
        at += k_packet;
    }
    m_partial.erase(0, at);
    tick(now);
}

void TsFeed::tick(Clock::time_point now)
{
    const std::optional<Clock::time_point> due = deadline();
    if (!due || now < *due)
        return;
    if (m_state == State::Searching) // no key picture: the file begins where the stream is
        m_held.clear();
    release();
}

void TsFeed::end()
{
    if (m_state == State::Searching)
        return;
    if (m_state == State::Holding)
        release();
    // The last picture was cut off by the end: a writer would take what came of it for a whole one.
    std::string rest;
    for (size_t at = 0; at + k_packet <= m_held.size(); at += k_packet) {
        const auto stream = m_streams.find(pid_of(reinterpret_cast<Bytes>(m_held.data() + at)));
        if (stream == m_streams.end() || stream->second.kind != Kind::Picture)
            rest.append(m_held, at, k_packet);
    }
    m_held.clear();
    if (!rest.empty())
        on_bytes(std::move(rest));
}

std::optional<TsFeed::Clock::time_point> TsFeed::deadline() const
{
    if (m_state == State::Passing || !m_since)
        return std::nullopt;
    return *m_since + (m_state == State::Searching ? std::chrono::duration_cast<Clock::duration>(k_picture_wait)
                                                   : std::chrono::duration_cast<Clock::duration>(k_sound_wait));
}

void TsFeed::take(const std::string& packet, Clock::time_point now)
{
    const auto* p = reinterpret_cast<Bytes>(packet.data());
    const int pid = pid_of(p);
    const bool starts = unit_starts(p);
    const bool table = starts && (pid == 0 || pid == m_pmt_pid);
    if (table)
        read_tables(pid, packet);
    const auto stream = m_streams.find(pid);
    if (m_state == State::Searching) {
        if (table || stream == m_streams.end() || !starts)
            return;
        const bool begins = m_pictures ? stream->second.kind == Kind::Picture && key_picture(p, stream->second.type)
                                       : stream->second.kind == Kind::Sound;
        if (!begins)
            return;
        m_state = State::Holding;
        m_since = now;
        m_sounds.clear();
        for (const auto& [id, s] : m_streams) {
            if (s.kind == Kind::Sound)
                m_sounds[id];
        }
    }
    // A picture is whole once the next one begins, or once its last packet has come, which is padded unless the
    // picture fills it. Without pictures everything is whole as it comes.
    const bool picture = stream != m_streams.end() && stream->second.kind == Kind::Picture;
    if (picture && starts)
        m_complete = m_held.size();
    m_held += packet;
    if (picture) {
        look_for_sets(packet, pid, starts, stream->second.type);
        if (stuffed(p))
            m_complete = m_held.size();
    } else if (!m_pictures) {
        m_complete = m_held.size();
    }
    if (m_state == State::Passing) {
        send_complete();
        return;
    }
    if (stream != m_streams.end() && stream->second.kind == Kind::Sound)
        count_sound(pid, packet, starts);
    if (sound_complete())
        release();
}

void TsFeed::read_tables(int pid, const std::string& packet)
{
    const auto* p = reinterpret_cast<Bytes>(packet.data());
    size_t begin = 0, end = 0;
    if (!section(p, begin, end))
        return;
    end -= 4; // the checksum
    if (pid == 0 && p[begin] == 0x00) {
        for (size_t i = begin + 8; i + 4 <= end; i += 4) {
            if (((p[i] << 8) | p[i + 1]) != 0) {
                m_pmt_pid = ((p[i + 2] & 0x1f) << 8) | p[i + 3];
                m_pat = packet;
                break;
            }
        }
    } else if (pid == m_pmt_pid && p[begin] == 0x02) {
        std::map<int, Stream> streams;
        size_t i = begin + 12 + (((p[begin + 10] & 0x0f) << 8) | p[begin + 11]);
        while (i + 5 <= end) {
            const int type = p[i];
            const size_t info = ((p[i + 3] & 0x0f) << 8) | p[i + 4];
            Stream s{Kind::Other, type};
            if (picture_type(type))
                s.kind = Kind::Picture;
            else if (sound_type(type) || (type == 0x06 && private_sound(p + i + 5, std::min(info, end - (i + 5)))))
                s.kind = Kind::Sound;
            streams[((p[i + 1] & 0x1f) << 8) | p[i + 2]] = s;
            i += 5 + info;
        }
        m_pmt = packet;
        if (m_state == State::Searching) {
            m_streams = std::move(streams);
            m_pictures = std::any_of(m_streams.begin(), m_streams.end(),
                                     [](const auto& s) { return s.second.kind == Kind::Picture; });
        }
    }
}

void TsFeed::count_sound(int pid, const std::string& packet, bool starts)
{
    Sound& sound = m_sounds[pid];
    if (sound.complete)
        return;
    const auto* p = reinterpret_cast<Bytes>(packet.data());
    const size_t at = payload_at(p);
    const long long payload = static_cast<long long>(k_packet - at);
    if (starts) {
        if (sound.started) { // the one before ends where this one begins
            sound.complete = true;
            return;
        }
        const long long length = at + 6 <= k_packet ? (p[at + 4] << 8) | p[at + 5] : 0;
        sound.started = true;
        sound.bounded = length > 0;
        sound.left = length + 6 - payload;
    } else if (sound.started) {
        sound.left -= payload;
    }
    if (sound.started && sound.bounded && sound.left <= 0)
        sound.complete = true;
}

bool TsFeed::sound_complete() const
{
    return m_state == State::Holding &&
           std::all_of(m_sounds.begin(), m_sounds.end(), [](const auto& s) { return s.second.complete; });
}

void TsFeed::release()
{
    m_state = State::Passing;
    if (!m_pat.empty() || !m_pmt.empty())
        on_bytes(m_pat + m_pmt);
    send_complete();
}

void TsFeed::look_for_sets(const std::string& packet, int pid, bool starts, int type)
{
    const auto* p = reinterpret_cast<Bytes>(packet.data());
    if (starts) {
        m_key_start.clear();
        m_key_pid = key_picture(p, type) ? pid : -1;
        if (m_key_pid < 0)
            return;
        m_key_start = packet.substr(picture_at(p));
    } else if (pid == m_key_pid) {
        m_key_start += packet.substr(payload_at(p));
    } else {
        return;
    }
    std::string sets = sequence_set(m_key_start, type);
    if (sets.empty()) {
        if (m_key_start.size() > k_sets_look)
            m_key_pid = -1; // none near its start: not looked for further
        return;
    }
    m_key_pid = -1;
    if (sets == m_sets)
        return;
    // The picture is still held whole: it begins the next file.
    if (m_one_set && !m_sets.empty() && m_state == State::Passing) {
        send_complete(); // what came before it
        on_next_file();
        on_bytes(m_pat + m_pmt);
    }
    m_sets = std::move(sets);
}

void TsFeed::send_complete()
{
    if (m_complete == 0)
        return;
    on_bytes(m_held.substr(0, m_complete));
    m_held.erase(0, m_complete);
    m_complete = 0;
}

} // namespace ffexe
