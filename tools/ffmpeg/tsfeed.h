#pragma once

#include "feed.h"

#include <map>
#include <string>

namespace ffexe {

// What a capture from a live MPEG transport stream (SRT) hands its writer:
// - the file begins with the program's tables and then the first key picture
//   received; what came before it is left out, so the writer never analyses
//   pictures it cannot decode, however far apart the key pictures are;
// - its sound usually comes a few hundred ms behind the pictures: the start
//   is held until each sound stream's first packet after the key picture is
//   complete (at most `k_sound_wait`), so the writer's short analysis sees
//   every stream it has to describe;
// - then the bytes go on as they come, each picture once it is whole: one
//   the end of the source cuts off is left out.
// - a key picture with other parameters (a publisher restarted at another
//   size) ends the file when it cannot carry a second set: the next file
//   begins with the tables and that picture.
// A stream that sends no key picture for `k_picture_wait` is recorded from
// where it is.
class TsFeed : public Feed
{
public:
    static constexpr std::chrono::seconds k_sound_wait{2};
    static constexpr size_t k_packet = 188;

    using Feed::Feed;

    void feed(const char* data, size_t size, Clock::time_point now) override;
    void tick(Clock::time_point now) override;
    void end() override;
    std::optional<Clock::time_point> deadline() const override;

private:
    enum class Kind { Picture, Sound, Other };
    struct Stream
    {
        Kind kind = Kind::Other;
        int type = 0; // the table's stream type
    };
    struct Sound
    {
        bool started = false;  // a packet of it began after the key picture
        bool complete = false; // and has come whole
        bool bounded = false;  // its length is known; else it ends where the next begins
        long long left = 0;    // bytes of it still to come
    };
    enum class State { Searching, Holding, Passing };

    void take(const std::string& packet, Clock::time_point now);
    void read_tables(int pid, const std::string& packet);
    void count_sound(int pid, const std::string& packet, bool starts);
    bool sound_complete() const;
    void release();
    void send_complete();
    // A packet of pictures: a key picture with a new set of parameters near its start begins the next file.
    void look_for_sets(const std::string& packet, int pid, bool starts, int type);

    static constexpr size_t k_sets_look = 4096; // how far into a key picture its parameters are looked for
    std::string m_sets;                         // the sequence parameters the file being written holds
    int m_key_pid = -1;                         // the key picture whose parameters are looked for
    std::string m_key_start;                    // its bytes so far
    State m_state = State::Searching;
    std::string m_partial;    // a packet not yet whole
    std::string m_pat, m_pmt; // the latest tables, which the file begins with
    int m_pmt_pid = -1;
    std::map<int, Stream> m_streams; // by packet id, from the latest table
    std::map<int, Sound> m_sounds;   // after the key picture
    std::string m_held;      // from the key picture on: while the sound is awaited, then the picture still coming
    size_t m_complete = 0;   // bytes of it before the picture still coming
    bool m_pictures = false; // the stream has pictures
    std::optional<Clock::time_point> m_since; // searching: since the first byte; holding: since the key picture
};

} // namespace ffexe
