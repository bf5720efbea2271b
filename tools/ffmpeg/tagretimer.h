#pragma once

#include "flvtags.h"

#include <optional>
#include <string>
#include <vector>

namespace ffexe {

// Lays every entry's FLV tags on one time line. An entry's pictures are
// shown from one frame after the last picture before them, and its sound keeps its
// place beside them; sound that would run back into the entry before (where
// that entry's sound outlasts its pictures) is left out, so that neither
// stream ever goes back. Silence of our own (an entry without sound) is no
// such sound: what of it runs past its entry's pictures waits for the next
// entry's sound and gives way to it. Times are the tags' milliseconds.
class TagRetimer
{
public:
    // A new entry begins; its first `verbatim` bytes (the stream's file header) pass as they are.
    // Script data (metadata) passes only with the file header. `silence`: its sound is ours.
    void begin_entry(size_t verbatim = 0, bool silence = false);
    // The bytes to pass on.
    std::string feed(const char* data, size_t size);
    // The entry has ended: what was held for it goes out.
    std::string end_entry();
    // Where the next entry begins: the end of the last pictures (of the last sound without them).
    long long next_start_ms() const { return m_next_start; }
    // Where the entry being read began.
    long long start_ms() const { return m_start; }
    long long sound_left_out() const { return m_dropped; }

private:
    std::string place(std::string tag);
    std::string release(long long offset);
    std::string end_entry_hold();
    // Sound at `at` passes on: the silence held before it goes first, and a
    // later entry's sound leaves out the silence it would overlap.
    std::string before_sound(long long at);
    std::string release_silence(long long until);

    flv::TagReader m_tags;
    size_t m_verbatim = 0;
    bool m_script_kept = false;
    std::vector<std::string> m_held; // tags before the entry's first picture
    int m_held_sound = 0;
    std::optional<long long> m_offset; // the entry's times to ours, once known
    long long m_start = 0, m_next_start = 0;
    bool m_pictures = false; // this entry had pictures
    long long m_last_video = -1, m_video_step = 40;
    long long m_last_source = 0; // the last picture's decoding time before any squeeze
    long long m_last_shown = -1;
    long long m_last_audio = -1, m_audio_step = 23;
    long long m_audio_floor = -1; // the last sound of the entries before
    long long m_dropped = 0;
    bool m_silence = false;
    int m_entry = 0;
    std::vector<std::string> m_silence_held; // placed, ahead of the pictures
    int m_silence_entry = 0;                 // the entry they are of
};

} // namespace ffexe
