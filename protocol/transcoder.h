#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the transcoder tells the windows over its merged output, each message
// with its writer (the transcoder's side) and its reader (the windows' side),
// and how a recording's files are named.
namespace protocol {

// Progress record: one line, the marker, then "|" groups, the second holding
// the counters and the third the timing.
struct ProgressRecord
{
    long long frame = 0;
    double fps = 0;
    long long size_kb = 0;
    long long centiseconds = 0; // the position; written as hh:mm:ss.cc
    double bitrate = 0;         // kbit/s
};
std::string write_progress(const ProgressRecord& record);

// The five fields as the windows read them; a field a later scan does not
// match keeps its value.
inline constexpr int time_field = 64;
struct ProgressFields
{
    int32_t frame = 0;
    float fps = 0.0f;
    int64_t size = 0;           // kB
    char time[time_field] = {}; // hh:mm:ss.cc, always zero-terminated
    float bitrate = 0.0f;       // kbit/s
};
// Scans a record into `fields`; returns the number of "|" pieces (fewer than
// three: nothing was scanned). A time token too long for the field is cut to
// 63 bytes. Numbers are read with a decimal point whatever the locale.
int read_progress(std::string_view text, ProgressFields& fields);

// Finish marker: the transcoder has ended and its output file is complete.
std::string write_finish();

// Error phrases: what went wrong, whatever the transcoder's own log said.
enum class Outcome {
    UnsupportedFormat, // "Could not write header"
    ConnectFailed,     // the server cannot be reached
    NoStream,          // the server answers but has no such stream
    UnknownProtocol,
    UnknownAddress,
    Untrusted, // a TLS server's certificate did not pass the check
};
// The phrase a reader looks for; also what the transcoder writes for it.
const char* phrase(Outcome outcome);
std::string write_phrase(Outcome outcome);

// One chunk of output, told apart: a progress record when it begins with the
// marker; else the first phrase found anywhere among the `wanted` outcomes,
// looked for in one fixed order (the format's, the connection's, the
// stream's, the protocol's, the address's); else the finish marker when it
// occurs anywhere; else other. `text` ends at the chunk's first zero byte.
enum class ChunkKind { Progress, ErrorPhrase, Finished, Other };
struct Chunk
{
    ChunkKind kind = ChunkKind::Other;
    Outcome outcome = Outcome::UnsupportedFormat; // for ErrorPhrase
};
Chunk classify(std::string_view text, const std::vector<Outcome>& wanted);

// Entry record, of a play list pushed over one connection: which entry the
// transcoder is on, counting its input as 0, one line each:
//   "zo_entry|N|on"           entry N goes out now; progress records count from its start
//   "zo_entry|N|want"         it asks for entry N: the window answers one line on the
//                             transcoder's standard input, its path, or an empty line for none
//   "zo_entry|N|skipped|WHY"  entry N cannot go into FLV and was left out
enum class EntryState { None, On, Want, Skipped };
struct EntryRecord
{
    EntryState state = EntryState::None;
    long long entry = -1;
    std::string why; // Skipped: what the transcoder said, one line
};
std::string write_entry(long long entry, EntryState state, const std::string& why = {});
// A line as written above, without its line break; None when it is not one.
EntryRecord read_entry(std::string_view line);
// The line begins as an entry record does.
bool is_entry_record(std::string_view line);

// Destination record, of a push to several destinations at once (the
// address given last counting as 0), one line each:
//   "zo_dest|N|on"        destination N is on air
//   "zo_dest|N|down|WHY"  it went down, WHY one word for the outcome, "lost" when the connection broke off
// The words never read as a phrase: a destination's failure is not the push's.
enum class DestState { None, On, Down };
struct DestRecord
{
    DestState state = DestState::None;
    int destination = -1;
    std::optional<Outcome> outcome; // Down: what went wrong; none: the connection was lost
};
std::string write_dest(int destination, DestState state, std::optional<Outcome> outcome = {});
// A line as written above, without its line break; None when it is not one.
DestRecord read_dest(std::string_view line);
bool is_dest_record(std::string_view line);

// File records: a recording's files as the transcoder gets through them, one
// line each with the file's full path:
//   "zo_file|PATH"  PATH is complete (a segment when the next begins, the last
//                   one at the end, the file of a run that ended by a drop)
//   "zo_next|PATH"  the source's pictures changed in a way the file so far
//                   cannot hold (a publisher that restarted at another size):
//                   the recording goes on in PATH, the next of its files; the
//                   file before is completed as ever
// A path holding a line break cannot be told; it is not written (empty).
enum class FileEvent { Done, Next };
std::string write_file_done(const std::string& path);
std::string write_next_file(const std::string& path);
struct FileRecord
{
    FileEvent event = FileEvent::Done;
    std::string path;
};
// A line as written above, without its line break; nothing when it is not one.
std::optional<FileRecord> read_file_record(std::string_view line);
bool is_file_record(std::string_view line);

// A recording's files: the first under the name it was given ("stem.ext"),
// the next ones numbered "stem_N.ext".
std::string numbered_name(const std::string& stem, const std::string& number, const std::string& ext);
std::string numbered_name(const std::string& stem, int number, const std::string& ext);
// File `number` of the recording given `path` ("folder/name.ext").
std::string recording_file(const std::string& path, int number);
// `path` cut before its extension, the extension (with its dot, or empty).
void split_extension(const std::string& path, std::string& stem, std::string& ext);

} // namespace protocol
