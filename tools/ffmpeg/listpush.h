#pragma once

#include "childprocess.h"
#include "outputwriter.h"
#include "phrasetable.h"
#include "progressrecord.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ffexe {

// A push of a whole play list over one rtmp connection. One ffmpeg (the
// publisher) reads FLV on its standard input at its own rate and sends it on;
// for each entry another ffmpeg (the reader) writes the entry's streams, copied,
// as FLV, and we pass its bytes on without the file header that only the
// first may have. The publisher reads the entries as one live stream: their
// time stamps, each from zero, are evened out to run on, and a new sequence
// header (another picture size, another AAC set-up) goes out as it comes.
struct ListPlan
{
    std::string first;    // the first entry
    std::string from;     // where in it to begin (seconds), or empty
    std::string url;      // where to publish
    bool realtime = true; // -re was given
};

// The plan of a list push; nothing unless the arguments ask for one
// ("[-re] [-ss S] -i PATH ... -zo_list URL").
std::optional<ListPlan> list_plan(const std::vector<std::string>& user_args);
std::vector<std::string> publisher_args(const ListPlan& plan);
// With `silence` the entry, which has no sound of its own, gets a silent one
// (see ListPush::m_silence).
std::vector<std::string> reader_args(const std::string& path, const std::string& from, bool in_band = true,
                                     bool silence = false);

// Where each entry begins in the publisher's time, and which one goes out at
// a given time. An entry's length is known once its reader has ended; a
// left-out entry has none and is never on.
class EntryClock
{
public:
    // Entry `entry` (the next one) has been read whole: `length_us` long, or left out.
    void read(long long length_us, bool left_out);
    // The entry newly on at publisher time `out_us`, if one is.
    std::optional<long long> reached(long long out_us);
    // The time `out_us` counted from the start of the entry on.
    long long within(long long out_us) const;
    long long on() const { return m_on; }
    // No entry follows the last one read.
    void end();
    // Where the entry after the last one read begins.
    long long next_start() const;

private:
    struct Entry
    {
        long long start_us;
        bool left_out;
    };
    std::vector<Entry> m_entries{{0, false}}; // the first begins at once
    long long m_on = -1;
};

// Takes the FLV file header ("FLV", version, flags, header size, and the
// first tag's zero back-pointer) off an entry's bytes, however they are split;
// the first entry's is passed on whole once it has come.
class HeaderCut
{
public:
    explicit HeaderCut(bool keep)
        : m_keep(keep)
    {}
    static constexpr size_t k_size = 13;
    // The bytes to pass on.
    std::string feed(const char* data, size_t size);
    // Something past the header came.
    bool body_seen() const { return m_body; }
    // Whether the header's flags say the entry has sound; nothing until they have come.
    std::optional<bool> has_sound() const;

private:
    bool m_keep;
    std::string m_header;
    bool m_body = false;
};

// Lays every entry's FLV tags on one time line. An entry's pictures are
// shown from one frame after the last picture before them, and its sound keeps its
// place beside them; sound that would run back into the entry before (where
// that entry's sound outlasts its pictures) is left out, so that neither
// stream ever goes back. Times are the tags' milliseconds.
class TagRetimer
{
public:
    // A new entry begins; its first `verbatim` bytes (the stream's file header) pass as they are.
    // Script data (metadata) passes only with the file header.
    void begin_entry(size_t verbatim = 0);
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

    std::string m_partial; // a tag not whole yet
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
};

class ListPush
{
public:
    ListPush(std::string program, ListPlan plan);
    int run();

private:
    void start_reader(const std::string& path, const std::string& from, bool in_band = true, bool silence = false);
    void reader_done();
    // Asks the window for the next entry once the publisher is near enough to it.
    void ask_when_due();
    void read_answer();
    void read_publisher_log();
    void read_publisher_progress();
    void read_reader_output();
    void read_reader_side(int fd);
    void write_to_publisher();

    std::string m_program;
    ListPlan m_plan;
    OutputWriter m_writer;
    ChildProcess m_publisher;
    std::unique_ptr<ChildProcess> m_reader;
    std::unique_ptr<HeaderCut> m_cut;
    TagRetimer m_retimer;
    ProgressParser m_publisher_progress, m_reader_progress;
    long long m_reader_time_us = 0;
    std::string m_reader_said; // the reader's first error line
    bool m_reader_said_done = false;
    std::string m_reader_path, m_reader_from;
    bool m_in_band = true;
    // The publisher's streams are those it finds as it starts: an entry
    // without sound goes out with silence, so that the sound of any entry after
    // it still has a stream to go in, and the sound never pauses.
    bool m_silence = false;
    bool m_again_with_silence = false; // the reader is ended to start again with silence
    PhraseFinder m_phrases;
    EntryClock m_clock;
    long long m_entry = 0; // the entry being read
    std::string m_pending; // read, not yet taken by the publisher
    std::string m_answer;  // a line of the window's answer so far
    bool m_want = false;   // the next entry is to be asked for
    bool m_asking = false; // waiting for the window to name the next entry
    long long m_published_us = 0;
    bool m_list_done = false; // no more entries: the publisher ends with what it has
};

} // namespace ffexe
