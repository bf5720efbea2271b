#include "tagretimer.h"

#include <algorithm>

namespace ffexe {

namespace {

// Sound held this long at most for an entry's first picture: past it the
// entry is taken as sound alone.
constexpr int k_sound_held = 100;

} // namespace

void TagRetimer::begin_entry(size_t verbatim, bool silence)
{
    m_silence = silence;
    ++m_entry;
    m_tags = flv::TagReader();
    m_verbatim = verbatim;
    m_script_kept = verbatim > 0;
    m_held.clear();
    m_held_sound = 0;
    m_offset.reset();
    m_start = m_next_start;
    m_pictures = false;
    m_audio_floor = m_last_audio;
}

std::string TagRetimer::feed(const char* data, size_t size)
{
    std::string out;
    const size_t verbatim = std::min(m_verbatim, size);
    out.append(data, verbatim);
    m_verbatim -= verbatim;
    for (std::string& tag : m_tags.feed(data + verbatim, size - verbatim))
        out += place(std::move(tag));
    return out;
}

std::string TagRetimer::place(std::string tag)
{
    // A later entry's metadata tells the publisher nothing (it writes its
    // own), and parsing it off the pipe now and then loses its place in the
    // stream, and with it the entry's key frame.
    if (flv::type(tag) == flv::k_script && !m_script_kept)
        return {};
    const flv::Kind kind = flv::kind(tag);
    if (!m_offset) {
        // The entry's offset comes from its first picture, so that the
        // pictures run on by exactly one frame; what comes before it waits.
        m_held.push_back(std::move(tag));
        if (kind == flv::Kind::Picture) {
            // Shown one frame after the last picture before it; the first
            // entry keeps its own times.
            const long long at = flv::time(m_held.back());
            return release(m_last_video < 0 ? 0 : m_start - at - flv::composition(m_held.back()));
        }
        if (kind == flv::Kind::Sound && ++m_held_sound > k_sound_held)
            return end_entry_hold();
        return {};
    }
    long long at = flv::time(tag) + *m_offset;
    switch (kind) {
    case flv::Kind::Picture: {
        // Decoding times only go on; the first pictures of an entry that
        // shows them later than it decodes them (B-frames) are squeezed in
        // after the last of the entry before, their display times kept.
        const long long shown = at + flv::composition(tag);
        if (m_pictures && at > m_last_source)
            m_video_step = at - m_last_source;
        m_last_source = at;
        if (m_last_video >= 0)
            at = std::max(at, m_last_video + 1);
        at = std::min(at, shown);
        flv::set_composition(tag, shown - at);
        m_last_video = at;
        m_last_shown = std::max(m_last_shown, shown);
        m_pictures = true;
        flv::set_time(tag, at);
        return release_silence(at) + tag;
    }
    case flv::Kind::Sound: {
        if (at <= m_audio_floor) {
            ++m_dropped;
            return {};
        }
        if (m_silence && at > m_last_video) {
            std::string out = before_sound(at);
            flv::set_time(tag, at);
            m_silence_held.push_back(std::move(tag));
            m_silence_entry = m_entry;
            return out;
        }
        std::string out = before_sound(at);
        if (m_last_audio > m_audio_floor && at > m_last_audio)
            m_audio_step = at - m_last_audio;
        m_last_audio = std::max(m_last_audio, at);
        flv::set_time(tag, at);
        return out + tag;
    }
    case flv::Kind::Other:
        at = std::max(at, 0LL);
        break;
    }
    flv::set_time(tag, at);
    return tag;
}

std::string TagRetimer::before_sound(long long at)
{
    if (m_silence_held.empty() || m_silence_entry == m_entry)
        return {};
    std::string out = release_silence(at - 1);
    m_silence_held.clear();
    return out;
}

std::string TagRetimer::release_silence(long long until)
{
    std::string out;
    size_t taken = 0;
    for (; taken < m_silence_held.size() && flv::time(m_silence_held[taken]) <= until; ++taken) {
        const long long at = flv::time(m_silence_held[taken]);
        if (m_last_audio > m_audio_floor && at > m_last_audio)
            m_audio_step = at - m_last_audio;
        m_last_audio = std::max(m_last_audio, at);
        out += m_silence_held[taken];
    }
    m_silence_held.erase(m_silence_held.begin(), m_silence_held.begin() + long(taken));
    return out;
}

std::string TagRetimer::end_entry_hold()
{
    // No picture: the entry's first sound begins where the entry does.
    for (const std::string& tag : m_held) {
        if (flv::kind(tag) == flv::Kind::Sound)
            return release(m_start - flv::time(tag));
    }
    return release(m_start);
}

std::string TagRetimer::release(long long offset)
{
    m_offset = offset;
    std::vector<std::string> held;
    held.swap(m_held);
    std::string out;
    for (std::string& tag : held)
        out += place(std::move(tag));
    return out;
}

std::string TagRetimer::end_entry()
{
    std::string out = m_offset ? std::string() : end_entry_hold();
    if (m_pictures)
        m_next_start = std::max(m_next_start, m_last_shown + m_video_step);
    else if (m_last_audio > m_audio_floor)
        m_next_start = std::max(m_next_start, m_last_audio + m_audio_step);
    return out;
}

} // namespace ffexe
