#include "commandline.h"

#include "wallclock.h"

#include "protocol/command.h"
#include "protocol/transcoder.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace ffexe {

namespace {

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string scheme_of(const std::string& url)
{
    const auto colon = url.find("://");
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0])))
        return {};
    for (size_t i = 0; i < colon; ++i) {
        const unsigned char c = url[i];
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            return {};
    }
    return lower(url.substr(0, colon));
}

bool ends_with(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// An http(s) address whose path, without query or fragment, ends in `ext`.
bool is_web_file(const std::string& url, const std::string& ext)
{
    const std::string scheme = scheme_of(url);
    return (scheme == "http" || scheme == "https") && ends_with(lower(url.substr(0, url.find_first_of("?#"))), ext);
}

bool copies_video(const std::vector<std::string>& args)
{
    static const char* const options[] = {"-vcodec", "-c:v", "-codec:v", "-c", "-codec"};
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i + 1] != "copy")
            continue;
        for (const char* option : options) {
            if (args[i] == option)
                return true;
        }
    }
    return false;
}

bool has_option(const std::vector<std::string>& args, const std::string& option)
{
    return std::find(args.begin(), args.end(), option) != args.end();
}

} // namespace

bool is_network_url(const std::string& text)
{
    const std::string scheme = scheme_of(text);
    return !scheme.empty() && scheme != "file";
}

bool is_flv_source(const std::string& url)
{
    return scheme_of(url).rfind("rtmp", 0) == 0 || is_web_file(url, ".flv");
}

bool is_hls_source(const std::string& url)
{
    return is_web_file(url, ".m3u8");
}

long long read_timeout_us(const char* env_value)
{
    if (!env_value || !*env_value)
        return k_read_timeout_us;
    char* end = nullptr;
    const long long ms = std::strtoll(env_value, &end, 10);
    if (*end != '\0' || ms <= 0 || ms > 24LL * 3600 * 1000)
        return k_read_timeout_us;
    return ms * 1000;
}

namespace {

// A recording from a live FLV source runs as two ffmpegs: the feeder reads
// the source as it is, jumps included, puts its packets where the wall clock
// says they came (wallclock.h) and passes them on as FLV through a pipe; the
// writer records that as asked. One muxer's time unit, FLV's milliseconds,
// is known for every stream that way, whatever the recording's format.
void feed_through_pipe(Invocation& inv, size_t live_flv_at)
{
    // args: the head, the log level (4), the input's options up to "-f live_flv -i URL", the output's.
    constexpr size_t head = 5 + 4;
    const auto feeder = [&](const std::vector<std::string>& args) {
        std::vector<std::string> out{"-hide_banner", "-nostats", "-loglevel", "level+debug"};
        out.insert(out.end(), args.begin() + head, args.begin() + long(live_flv_at) + 3);
        out[out.size() - 3] = "flv"; // the jumps come through as they are
        const std::string retime = wall_clock_filters(std::strtod(k_jump_threshold, nullptr));
        out.insert(out.end(), {"-c", "copy", "-bsf:v", retime, "-bsf:a", retime, "-f", "flv", "-flvflags",
                               "no_duration_filesize", "-flush_packets", "1", "pipe:1"});
        return out;
    };
    // FLV may bring new streams at any time, so ffmpeg reads as much of the
    // stream as it is told to analyse before writing, in case more come: as
    // much as the feeder analysed, which is when video shows at the latest.
    const auto writer = [&](long long analyze_us) {
        std::vector<std::string> out(inv.args.begin(), inv.args.begin() + 5);
        out.insert(out.end(),
                   {"-nostdin", "-f", "flv", "-analyzeduration", std::to_string(analyze_us), "-i", "pipe:0"});
        out.insert(out.end(), inv.args.begin() + long(live_flv_at) + 3, inv.args.end());
        return out;
    };
    inv.feeder_args = feeder(inv.args);
    if (!inv.retry_args.empty()) {
        inv.feeder_retry_args = feeder(inv.retry_args);
        inv.retry_args = writer(k_analyze_long_us);
    }
    inv.args = writer(k_analyze_us);
}

} // namespace

Invocation build_invocation(const std::vector<std::string>& given_args, long long timeout_us)
{
    // Our own options go; ffmpeg would refuse them.
    std::vector<std::string> user_args = given_args;
    const protocol::OwnOptions own = protocol::take_own_options(user_args);
    const long long segment_seconds = own.segment_seconds;
    const int file_number = own.file_number;

    Invocation inv;
    inv.args = {"-hide_banner", "-nostats", "-y", "-progress", "pipe:" + std::to_string(k_progress_fd)};

    size_t group_start = 0;             // where the options of the next input begin
    std::vector<size_t> short_analysis; // where our analysis durations stand in args
    std::optional<size_t> live_flv_at;  // where our "live_flv" stands in args
    for (size_t i = 0; i < user_args.size(); ++i) {
        const std::string& arg = user_args[i];
        if (arg == "-i" && i + 1 < user_args.size() && is_network_url(user_args[i + 1])) {
            inv.network_input = true;
            // The rtsp demuxer has its own socket time-out; every other protocol takes the generic one.
            const std::string scheme = scheme_of(user_args[i + 1]);
            const char* option = (scheme == "rtsp" || scheme == "rtsps") ? "-timeout" : "-rw_timeout";
            const std::vector<std::string> group(user_args.begin() + long(group_start), user_args.begin() + long(i));
            if (!has_option(group, option)) {
                inv.args.push_back(option);
                inv.args.push_back(std::to_string(timeout_us));
            }
            // A live stream without audio is otherwise analysed for five
            // seconds before anything is written: a short capture would be
            // empty. A stream whose video begins later than that is analysed
            // again, for longer (retry_args).
            if (!has_option(group, "-analyzeduration")) {
                inv.args.push_back("-analyzeduration");
                short_analysis.push_back(inv.args.size());
                inv.args.push_back(std::to_string(k_analyze_us));
            }
            // As a live source: a publisher that starts again from zero is a
            // jump ffmpeg evens out, not time going backwards.
            if (is_flv_source(user_args[i + 1]) && !has_option(group, "-f")) {
                inv.args.push_back("-f");
                live_flv_at = inv.args.size();
                inv.args.push_back("live_flv");
            }
            // A live playlist that stops growing ends the read in seconds, not after a thousand reloads.
            if (is_hls_source(user_args[i + 1])) {
                if (!has_option(group, "-m3u8_hold_counters"))
                    inv.args.insert(inv.args.end(), {"-m3u8_hold_counters", k_hls_hold_reloads});
                if (inv.hls_playlist.empty())
                    inv.hls_playlist = user_args[i + 1];
            }
        }
        inv.args.push_back(arg);
        if (arg == "-i") {
            if (i + 1 < user_args.size())
                inv.args.push_back(user_args[++i]);
            group_start = i + 1;
        }
    }

    // A network stream carries H.264 in length-prefixed form, which the avi
    // muxer refuses when the video is copied; it needs start codes.
    if (inv.network_input && !user_args.empty() && ends_with(lower(user_args.back()), ".avi") &&
        copies_video(user_args) && !has_option(user_args, "-bsf:v")) {
        inv.args.insert(inv.args.end() - 1, {"-bsf:v", "h264_mp4toannexb"});
    }
    const bool recording = inv.network_input && !user_args.empty() && !is_network_url(user_args.back());
    const bool segmenting = recording && segment_seconds > 0;
    // A later file of a capture, after a drop: the plug-in names the capture, we number its files.
    if (recording && !segmenting && file_number > 1)
        user_args.back() = inv.args.back() = protocol::recording_file(user_args.back(), file_number);
    // A capture to MP4 is written in fragments of a second, so that a killed
    // recording still plays; it becomes an ordinary MP4 when it ends.
    if (inv.network_input && !segmenting && !user_args.empty() && ends_with(lower(user_args.back()), ".mp4") &&
        !has_option(user_args, "-movflags") && !has_option(user_args, "-frag_duration")) {
        // Each fragment goes to disk whole as soon as it is complete, not when a write buffer fills.
        inv.args.insert(inv.args.end() - 1, {"-movflags", "+empty_moov+default_base_moof", "-frag_duration",
                                             std::to_string(k_fragment_us), "-flush_packets", "1"});
        inv.finish_mp4 = user_args.back();
    }
    // A recording's time runs on whatever the source's time stamps do; the
    // debug level only to hear of each jump (LogFilter).
    if (recording && !has_option(user_args, "-loglevel") && !has_option(user_args, "-v")) {
        inv.args.insert(inv.args.begin() + 5, {"-loglevel", "level+debug", "-dts_delta_threshold", k_jump_threshold});
        for (size_t& at : short_analysis)
            at += 4;
        if (live_flv_at)
            *live_flv_at += 4;
        inv.filter_log = true;
    }
    // A recording goes to the disk for good once complete, whole or in files.
    if (recording) {
        if (segmenting) {
            SegmentPlan plan = SegmentPlan::make(user_args.back(), segment_seconds, std::max(file_number, 1));
            std::vector<std::string> muxer{"-f",
                                           "segment",
                                           "-segment_time",
                                           std::to_string(segment_seconds),
                                           "-reset_timestamps",
                                           "1",
                                           "-segment_start_number",
                                           std::to_string(plan.first)};
            if (plan.fragmented) {
                muxer.push_back("-segment_format_options");
                muxer.push_back("movflags=+empty_moov+default_base_moof:frag_duration=" +
                                std::to_string(k_fragment_us) + ":flush_packets=1");
            }
            // Each file in fragments of its own, as a single recording's above.
            inv.args.insert(inv.args.end() - 1, muxer.begin(), muxer.end());
            inv.args.back() = plan.pattern();
            inv.segments = plan;
        } else {
            inv.sync_output = user_args.back();
        }
    }
    if (!short_analysis.empty()) {
        inv.retry_args = inv.args;
        for (size_t at : short_analysis)
            inv.retry_args[at] = std::to_string(k_analyze_long_us);
    }
    if (recording && live_flv_at && inv.filter_log && std::count(user_args.begin(), user_args.end(), "-i") == 1)
        feed_through_pipe(inv, *live_flv_at);
    return inv;
}

} // namespace ffexe
