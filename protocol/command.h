#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <time.h>
#include <vector>

// What the live windows tell the transcoder, each message with its writer
// (the windows' side) beside its reader (the transcoder's): the command line
// of a capture and of a push, the answer to a push's request for its next
// entry, and the capture's stop request. What it tells them back is in
// transcoder.h.
namespace protocol {

// A capture: the stream `source` recorded into `output`, its video copied.
// Cut into files of `segment_seconds` on key frames when that is positive;
// `file_number` is the number of the first file this run writes (1 is the
// output's own name, n is "name_n", recording_file()): the output is always
// named as the capture's first file and the number is applied by the
// transcoder alone.
struct CaptureCommand
{
    std::string source;
    std::string output;
    long long segment_seconds = 0;
    int file_number = 1;
};
std::vector<std::string> write_capture(const CaptureCommand& command);

// Another destination of a push to several at once.
struct PushTarget
{
    std::string address;
    bool any_certificate = false; // a TLS server's certificate is taken unchecked (the user said so)
};

// A push of the local file `file` to `address` in real time, copied into FLV
// (MPEG-TS for SRT), read from `from_ms` on (the key frame at or before it).
// With `list` the transcoder pushes a whole play list over the one
// connection, `file` first, and asks for each entry after it (entry records,
// transcoder.h). With `also` the media is read once and sent to each of those
// destinations as well, each over a connection of its own (destination
// records, transcoder.h); `address` is destination 0, `also` 1 and on.
struct PushCommand
{
    std::string file;
    std::string address;
    long long from_ms = 0;
    bool list = false;
    bool realtime = true;
    bool any_certificate = false;
    std::vector<PushTarget> also;
};
std::vector<std::string> write_push(const PushCommand& command);
// The push a command line asks the transcoder to run itself (over one
// connection, or to several destinations); nothing when it is no such push.
std::optional<PushCommand> read_push(const std::vector<std::string>& args);
// What ffmpeg is told about a push's output: its format, and for rtmps that
// the server's certificate is verified unless `any_certificate`.
std::vector<std::string> push_output_options(const std::string& address, bool any_certificate);

// The transcoder's own options, taken out of `args` (an option is taken only
// while the output still follows it); what is left is the stock ffmpeg's.
struct OwnOptions
{
    long long segment_seconds = 0;
    int file_number = 1;
    bool list = false;
    std::vector<PushTarget> also;
};
OwnOptions take_own_options(std::vector<std::string>& args);

// The answer to "zo_entry|N|want": the next entry's path on a line of its
// own, an empty line for none. A path holding a line break cannot be said and
// is answered as none.
std::string write_answer(const std::string& path);
// Takes the first whole answer out of what has been `received` so far;
// nothing while its line is incomplete. An empty answer: no more entries.
std::optional<std::string> read_answer(std::string& received);
// A push to several destinations is told on the same input to try a
// destination again that went down: one line each, beside the answers.
std::string write_again(int destination);
struct PushInput
{
    int again = -1;   // the destination to try again; -1: an answer
    std::string path; // the answer
};
// Takes the first whole line out of `received`, an answer or an "again".
std::optional<PushInput> read_input(std::string& received);

// What kind of stream an address names, as the capture and the transcoder
// both tell it: rtmp and http .flv deliver FLV; an http .m3u8 is a playlist,
// which may say that the stream is complete.
enum class SourceKind { Local, Flv, Playlist, Rtsp, OtherNetwork };
// The scheme of "scheme://...", lower case; empty for anything else.
std::string scheme_of(const std::string& url);
SourceKind source_kind(const std::string& address);

// The capture's stop request: an empty file in the private folder; only its
// appearance counts. The path is empty when the folder is refused.
std::string stop_request_path();
// Makes the request (an existing one is left as it is) or removes it.
void set_stop_request(bool present);

// The transcoder's side: notices the request. One that is already there
// when the watcher is made was left by an earlier run and does not count,
// unless it goes away or is replaced.
class StopRequestWatcher
{
public:
    explicit StopRequestWatcher(std::string path);
    bool requested();

private:
    struct Identity
    {
        dev_t dev;
        ino_t ino;
        timespec ctime;
    };
    static std::optional<Identity> identity_of(const std::string& path);

    std::string m_path;
    std::optional<Identity> m_stale;
};

} // namespace protocol
