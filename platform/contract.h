#pragma once

// What the plug-in and its three executables agree on: the transcoder's
// progress record and finish marker, and the files and the pipe they share in
// the user's private temporary folder. Plain C++ and POSIX, header-only, so
// that the executables include it as well as the plug-in.

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace contract {

// The transcoder's output. A chunk that begins with the marker is a progress
// record: groups separated by "|", the second holding the counters and the
// third the timing.
inline constexpr char progress_marker[] = "zo_progress";
inline constexpr char record_separator = '|';
// How the transcoder writes a record (one line): the marker, frame, fps,
// size in kB, the time as hours, minutes, seconds and hundredths, and the
// bitrate in kbit/s.
inline constexpr char progress_format[] =
    "%s|frame= %lld fps= %.2f size= %lldkB|time=%02lld:%02lld:%02lld.%02lld bitrate= %.1fkbits/s\n";
// How the plug-in reads the counters (their blanks removed first) and the
// timing; the time goes into a field of 64 bytes.
inline constexpr char counters_scan[] = "frame=%dfps=%fsize=%" SCNd64 "kB";
inline constexpr char timing_scan[] = "time=%63s bitrate=%fkbits/s";
inline constexpr int time_field = 64;
// Anywhere in a chunk: the transcoder has ended and its output file is complete.
inline constexpr char finish_marker[] = "zo_finished";

// A push of a whole play list over one connection (the option before the
// output; the first entry is the input). The transcoder says which entry it is
// on, counting the input as 0, in one line of its own each:
//   "zo_entry|N|on"            entry N goes out now; progress records count from its start
//   "zo_entry|N|want"          it asks for entry N: the window answers one line on the
//                              transcoder's standard input, its path, or an empty line for none
//   "zo_entry|N|skipped|WHY"   entry N cannot go into FLV and was left out
inline constexpr char list_option[] = "-zo_list";
inline constexpr char entry_marker[] = "zo_entry";

enum class EntryState { None, On, Want, Skipped };

struct EntryRecord
{
    EntryState state = EntryState::None;
    long long entry = -1;
    std::string why; // Skipped: what the transcoder said, one line
};

// One record line, with its line break.
inline std::string entry_record(long long entry, EntryState state, const std::string& why = {})
{
    const char* word = state == EntryState::On ? "on" : state == EntryState::Want ? "want" : "skipped";
    std::string line = std::string(entry_marker) + record_separator + std::to_string(entry) + record_separator + word;
    if (state == EntryState::Skipped) {
        std::string said = why.substr(0, why.find_first_of("\r\n"));
        line += record_separator + said;
    }
    return line + "\n";
}

// Reads a line as written above (without its line break); None when it is not one.
inline EntryRecord read_entry_record(const std::string& line)
{
    EntryRecord record;
    const std::string head = std::string(entry_marker) + record_separator;
    if (line.compare(0, head.size(), head) != 0)
        return record;
    const size_t number_end = line.find(record_separator, head.size());
    if (number_end == std::string::npos || number_end == head.size())
        return record;
    char* end = nullptr;
    const std::string number = line.substr(head.size(), number_end - head.size());
    const long long entry = std::strtoll(number.c_str(), &end, 10);
    if (*end != '\0' || entry < 0)
        return record;
    const std::string rest = line.substr(number_end + 1);
    if (rest == "on") {
        record.state = EntryState::On;
    } else if (rest == "want") {
        record.state = EntryState::Want;
    } else if (rest.compare(0, 8, "skipped|") == 0) {
        record.state = EntryState::Skipped;
        record.why = rest.substr(8);
    } else if (rest == "skipped") {
        record.state = EntryState::Skipped;
    } else {
        return record;
    }
    record.entry = entry;
    return record;
}

// Options of the transcoder's own, before the output: a capture cut into
// files of this many seconds on key frames, and the number of its first file
// (1, the default, is the output's own name; n is "name_n").
inline constexpr char segment_option[] = "-zo_segment";
inline constexpr char segment_number_option[] = "-zo_segment_number";

// In the temporary folder: the capture's stop request (only its presence
// counts), the repair job and the pipe the repair engine reports over.
inline constexpr char stop_file[] = "zo_ff_et.cfg";
inline constexpr char job_file[] = "mp4.rp";
inline constexpr char pipe_name[] = "tarvo_mfix";
inline constexpr unsigned pipe_buffer = 4096;

// The user's own temporary folder: $XDG_RUNTIME_DIR/davaz when that is set,
// else davaz-<uid> in the system's temporary folder ($TMPDIR, else /tmp).
// Fixed names in a folder every account can write would let another account
// plant a link, leave a job or a stop request, or take the pipe's name; so the
// folder is made with mode 0700 and refused when it is a link, not a folder,
// or another account's.
struct TempFolder
{
    enum Problem { None, CannotCreate, Link, NotFolder, OtherOwner };

    std::string path;
    Problem problem = None;
    int error = 0; // errno of CannotCreate

    bool usable() const { return problem == None; }
    // One line for a log, naming the folder and what is wrong with it.
    std::string message() const
    {
        switch (problem) {
        case None:
            break;
        case CannotCreate:
            return "cannot make the temporary folder " + path + ": " + std::strerror(error);
        case Link:
            return "the temporary folder " + path + " is a symbolic link; it is not used";
        case NotFolder:
            return "the temporary folder " + path + " is not a folder; it is not used";
        case OtherOwner:
            return "the temporary folder " + path + " belongs to another account; it is not used";
        }
        return {};
    }
};

namespace detail {

inline std::string without_trailing_slashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The system's temporary folder as Qt names it: $TMPDIR when set, else /tmp,
// its links resolved when it exists.
inline std::string system_temp()
{
    const char* env = std::getenv("TMPDIR");
    std::string path = without_trailing_slashes(env && *env ? env : "/tmp");
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    return path;
}

} // namespace detail

// Finds the folder and makes it when it is missing; every call looks again,
// so a folder removed meanwhile comes back.
inline TempFolder temp_folder()
{
    TempFolder folder;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        folder.path = detail::without_trailing_slashes(runtime) + "/davaz";
    else
        folder.path = detail::system_temp() + "/davaz-" + std::to_string(::geteuid());

    if (::mkdir(folder.path.c_str(), 0700) != 0 && errno != EEXIST) {
        folder.problem = TempFolder::CannotCreate;
        folder.error = errno;
        return folder;
    }
    // Opened without following a link, so that what is checked is what is used.
    const int fd = ::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0) {
        const int opened = errno;
        const bool exists = ::lstat(folder.path.c_str(), &st) == 0;
        if (exists && S_ISLNK(st.st_mode)) {
            folder.problem = TempFolder::Link;
        } else if (exists && !S_ISDIR(st.st_mode)) {
            folder.problem = TempFolder::NotFolder;
        } else if (exists && st.st_uid != ::geteuid()) {
            folder.problem = TempFolder::OtherOwner; // and closed to us
        } else {
            folder.problem = TempFolder::CannotCreate;
            folder.error = opened;
        }
        return folder;
    }
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
        folder.problem = TempFolder::OtherOwner;
    } else if ((st.st_mode & 07777) != 0700) {
        // A umask may have taken the owner's rights; a looser folder of ours is tightened.
        ::fchmod(fd, 0700);
    }
    ::close(fd);
    return folder;
}

// The path of `name` in the temporary folder; empty when the folder is
// refused, with the reason in `why` when given.
inline std::string temp_path(const char* name, std::string* why = nullptr)
{
    const TempFolder folder = temp_folder();
    if (why)
        *why = folder.message();
    return folder.usable() ? folder.path + "/" + name : std::string();
}

} // namespace contract
