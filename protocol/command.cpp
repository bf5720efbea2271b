#include "command.h"

#include "contract.h"
#include "privatefolder.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sys/stat.h>

namespace protocol {

namespace {

// Options of the transcoder's own, before the output; the stock ffmpeg knows none of them.
constexpr char segment_option[] = "-zo_segment";
constexpr char file_number_option[] = "-zo_file_number";
// Before the address: the push goes on with the entries the window names.
constexpr char list_option[] = "-zo_list";
// Before the address, each: another destination, whose certificate is checked or not.
constexpr char also_option[] = "-zo_also";
constexpr char also_any_option[] = "-zo_also_anycert";
constexpr char answer_end = '\n';
constexpr char again_marker[] = "zo_again|";

// A positive number of at most `most`, or 0.
long long positive(const std::string& text, long long most)
{
    if (text.empty() || text.size() > 18)
        return 0;
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + (c - '0');
    }
    return value <= most ? value : 0;
}

// "12.500": seconds with milliseconds, whatever the locale.
std::string seconds_text(long long ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", ms / 1000, ms % 1000);
    return text;
}

long long ms_of(const std::string& seconds)
{
    const size_t dot = seconds.find('.');
    std::string fraction = dot == std::string::npos ? std::string() : seconds.substr(dot + 1, 3);
    fraction.resize(3, '0');
    return positive(seconds.substr(0, dot), 1LL << 40) * 1000 + positive(fraction, 999);
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// The address's path, without its query or fragment, ends in `ext`.
bool path_ends_with(const std::string& url, const std::string& ext)
{
    const std::string path = lower(url.substr(0, url.find_first_of("?#")));
    return path.size() >= ext.size() && path.compare(path.size() - ext.size(), ext.size(), ext) == 0;
}

} // namespace

std::string scheme_of(const std::string& url)
{
    const size_t colon = url.find("://");
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0])))
        return {};
    for (size_t i = 0; i < colon; ++i) {
        const unsigned char c = url[i];
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            return {};
    }
    return lower(url.substr(0, colon));
}

std::vector<std::string> write_capture(const CaptureCommand& command)
{
    std::vector<std::string> args{"-i", command.source, "-vcodec", "copy"};
    if (command.segment_seconds > 0)
        args.insert(args.end(), {segment_option, std::to_string(command.segment_seconds)});
    if (command.file_number > 1)
        args.insert(args.end(), {file_number_option, std::to_string(command.file_number)});
    args.push_back(command.output);
    return args;
}

std::vector<std::string> push_output_options(const std::string& address, bool any_certificate)
{
    const std::string scheme = scheme_of(address);
    std::vector<std::string> args{"-f", scheme == "srt" ? "mpegts" : "flv"};
    // ffmpeg takes any certificate unless told to check it.
    if (scheme == "rtmps" && !any_certificate)
        args.insert(args.end(), {"-tls_verify", "1"});
    return args;
}

std::vector<std::string> write_push(const PushCommand& command)
{
    std::vector<std::string> args;
    if (command.realtime)
        args.push_back("-re");
    if (command.from_ms > 0)
        args.insert(args.end(), {"-ss", seconds_text(command.from_ms)});
    args.insert(args.end(), {"-i", command.file, "-c", "copy"});
    const std::vector<std::string> output = push_output_options(command.address, command.any_certificate);
    args.insert(args.end(), output.begin(), output.end());
    if (command.list)
        args.push_back(list_option);
    for (const PushTarget& target : command.also)
        args.insert(args.end(), {target.any_certificate ? also_any_option : also_option, target.address});
    args.push_back(command.address);
    return args;
}

std::optional<PushCommand> read_push(const std::vector<std::string>& args)
{
    if (args.size() < 2)
        return std::nullopt;
    PushCommand command;
    command.address = args.back();
    command.realtime = false;
    command.any_certificate = true;
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == list_option || arg == "-re") {
            (arg == "-re" ? command.realtime : command.list) = true;
            continue;
        }
        if (i + 2 >= args.size())
            break;
        const std::string& value = args[++i];
        if (arg == "-ss" && command.file.empty())
            command.from_ms = ms_of(value);
        else if (arg == "-i" && command.file.empty())
            command.file = value;
        else if (arg == "-tls_verify")
            command.any_certificate = value != "1";
        else if (arg == also_option || arg == also_any_option)
            command.also.push_back({value, arg == also_any_option});
    }
    if (command.file.empty() || (!command.list && command.also.empty()))
        return std::nullopt;
    return command;
}

OwnOptions take_own_options(std::vector<std::string>& args)
{
    OwnOptions own;
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == list_option && i + 1 < args.size()) {
            own.list = true;
        } else if ((arg == also_option || arg == also_any_option) && i + 2 < args.size()) {
            own.also.push_back({args[++i], arg == also_any_option});
        } else if ((arg == segment_option || arg == file_number_option) && i + 2 < args.size()) {
            if (arg == segment_option)
                own.segment_seconds = positive(args[++i], 24LL * 3600);
            else
                own.file_number = int(positive(args[++i], 1000000));
        } else {
            rest.push_back(arg);
        }
    }
    own.file_number = std::max(own.file_number, 1);
    args = std::move(rest);
    return own;
}

std::string write_answer(const std::string& path)
{
    // A path that would read as another line cannot be said either.
    if (path.find_first_of("\r\n") != std::string::npos || path.rfind(again_marker, 0) == 0)
        return std::string(1, answer_end);
    return path + answer_end;
}

std::string write_again(int destination)
{
    return again_marker + std::to_string(std::max(destination, 0)) + answer_end;
}

std::optional<PushInput> read_input(std::string& received)
{
    std::optional<std::string> line = read_answer(received);
    if (!line)
        return std::nullopt;
    PushInput input;
    if (line->rfind(again_marker, 0) == 0)
        input.again = int(positive(line->substr(sizeof again_marker - 1), 1000000));
    else
        input.path = std::move(*line);
    return input;
}

std::optional<std::string> read_answer(std::string& received)
{
    const size_t end = received.find(answer_end);
    if (end == std::string::npos)
        return std::nullopt;
    std::string path = received.substr(0, end);
    received.erase(0, end + 1);
    return path;
}

SourceKind source_kind(const std::string& address)
{
    const std::string scheme = scheme_of(address);
    const bool web = scheme == "http" || scheme == "https";
    if (scheme.empty() || scheme == "file")
        return SourceKind::Local;
    if (scheme.rfind("rtmp", 0) == 0 || (web && path_ends_with(address, ".flv")))
        return SourceKind::Flv;
    if (web && path_ends_with(address, ".m3u8"))
        return SourceKind::Playlist;
    if (scheme == "rtsp" || scheme == "rtsps")
        return SourceKind::Rtsp;
    return SourceKind::OtherNetwork;
}

std::string stop_request_path()
{
    return temp_path(stop_file);
}

void set_stop_request(bool present)
{
    const std::string path = stop_request_path();
    if (path.empty())
        return;
    if (!present)
        std::remove(path.c_str());
    else if (std::FILE* file = std::fopen(path.c_str(), "a"))
        std::fclose(file);
}

StopRequestWatcher::StopRequestWatcher(std::string path)
    : m_path(std::move(path))
    , m_stale(identity_of(m_path))
{}

bool StopRequestWatcher::requested()
{
    if (m_path.empty())
        return false;
    const auto now = identity_of(m_path);
    if (!now) {
        m_stale.reset();
        return false;
    }
    // Inode numbers are reused at once, so a replaced file is told apart by its change time too.
    return !m_stale || m_stale->dev != now->dev || m_stale->ino != now->ino ||
           m_stale->ctime.tv_sec != now->ctime.tv_sec || m_stale->ctime.tv_nsec != now->ctime.tv_nsec;
}

std::optional<StopRequestWatcher::Identity> StopRequestWatcher::identity_of(const std::string& path)
{
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return Identity{st.st_dev, st.st_ino, st.st_ctim};
}

} // namespace protocol
