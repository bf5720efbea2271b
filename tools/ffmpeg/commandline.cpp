#include "commandline.h"

#include "protocol/transcoder.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace ffexe {

using protocol::SourceKind;

namespace {

using Args = std::vector<std::string>;

bool ends_with(const std::string& text, const std::string& tail)
{
    if (text.size() < tail.size())
        return false;
    return std::equal(tail.rbegin(), tail.rend(), text.rbegin(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

bool has_option(const Args& args, const std::string& option)
{
    return std::find(args.begin(), args.end(), option) != args.end();
}

bool copies_video(const Args& args)
{
    static const char* const options[] = {"-vcodec", "-c:v", "-codec:v", "-c", "-codec"};
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i + 1] == "copy" &&
            std::any_of(std::begin(options), std::end(options), [&](const char* option) { return args[i] == option; }))
            return true;
    }
    return false;
}

void append(Args& args, const Args& more)
{
    args.insert(args.end(), more.begin(), more.end());
}

// What every ffmpeg we run is told first; the progress blocks go to their own pipe.
Args head()
{
    return {"-hide_banner", "-nostats", "-y", "-progress", "pipe:" + std::to_string(k_progress_fd)};
}

// An input read as ffmpeg is to read it: a network stream with a time-out and
// a short analysis (when not given), FLV as a live source (`flv_format`).
Args input_args(const Request::Input& input, long long timeout_us, long long analyze_us, const char* flv_format)
{
    Args args = input.options;
    if (input.kind != SourceKind::Local) {
        // The rtsp demuxer has its own socket time-out; every other protocol takes the generic one.
        const char* option = input.kind == SourceKind::Rtsp ? "-timeout" : "-rw_timeout";
        if (!has_option(input.options, option))
            append(args, {option, std::to_string(timeout_us)});
        // Otherwise a live stream is analysed for seconds before anything is
        // written, and its frame rate guessed from twenty frames (rtsp's clock
        // says nothing of it): a short capture would be empty.
        if (!has_option(input.options, "-analyzeduration") && !has_option(input.options, "-fpsprobesize"))
            append(args,
                   {"-analyzeduration",
                    std::to_string(input.kind == SourceKind::OtherNetwork ? std::max(analyze_us, k_analyze_headless_us)
                                                                          : analyze_us),
                    "-fpsprobesize", "0"});
        // As a live source: a publisher that starts again from zero is a jump ffmpeg evens out, not time going back.
        if (input.kind == SourceKind::Flv && !has_option(input.options, "-f"))
            append(args, {"-f", flv_format});
        // rtmp's commands go out in pieces; held back for the server's delayed acknowledgement, each answer waits
        // some 40 ms, and a capture starts a few of them later.
        if (input.kind == SourceKind::Flv && !has_option(input.options, "-tcp_nodelay"))
            append(args, {"-tcp_nodelay", "1"});
        // A live playlist that stops growing ends the read in seconds, not after a thousand reloads.
        if (input.kind == SourceKind::Playlist && !has_option(input.options, "-m3u8_hold_counters"))
            append(args, {"-m3u8_hold_counters", k_hls_hold_reloads});
    }
    append(args, {"-i", input.url});
    return args;
}

// The output as the recording is to be written; fills in what is to be done once ffmpeg has ended.
Args output_args(const Request& request, Invocation& inv)
{
    Args args = request.output_options;
    std::string output = request.output;
    const bool recording = request.recording();
    const bool segmenting = recording && request.own.segment_seconds > 0;
    // A network stream carries H.264 in length-prefixed form, which the avi
    // muxer refuses when the video is copied; it needs start codes.
    if (inv.network_input && ends_with(output, ".avi") && copies_video(request.output_options) &&
        !has_option(request.output_options, "-bsf:v"))
        append(args, {"-bsf:v", "h264_mp4toannexb"});
    // A later file of a capture, after a drop: the plug-in names the capture, we number its files.
    inv.file_number = request.own.file_number;
    if (recording && !segmenting)
        output = protocol::recording_file(output, request.own.file_number);
    // FLV takes new sequence headers as they come; the others keep the first set.
    inv.one_set = !ends_with(output, ".flv");
    // A capture to MP4 is written in fragments of a second, so that a killed
    // recording still plays; it becomes an ordinary MP4 when it ends. Each
    // fragment goes to disk whole as soon as it is complete.
    if (inv.network_input && !segmenting && ends_with(output, ".mp4") &&
        !has_option(request.output_options, "-movflags") && !has_option(request.output_options, "-frag_duration")) {
        append(args, {"-movflags", "+empty_moov+default_base_moof", "-frag_duration", std::to_string(k_fragment_us)});
        inv.finish_mp4 = output;
    }
    if (recording && !has_option(request.output_options, "-flush_packets"))
        append(args, {"-flush_packets", "1"});
    // A recording goes to the disk for good once complete, whole or in files, each in fragments of its own.
    if (segmenting) {
        const SegmentPlan plan = SegmentPlan::make(output, request.own.segment_seconds, request.own.file_number);
        append(args, {"-f", "segment", "-segment_time", std::to_string(plan.seconds), "-reset_timestamps", "1",
                      "-segment_start_number", std::to_string(plan.first)});
        if (plan.fragmented) {
            append(args, {"-segment_format_options", "movflags=+empty_moov+default_base_moof:frag_duration=" +
                                                         std::to_string(k_fragment_us) + ":flush_packets=1"});
        }
        output = plan.pattern();
        inv.segments = plan;
    } else if (recording) {
        inv.sync_output = output;
    }
    args.push_back(output);
    return args;
}

// A recording from a live FLV source runs as two ffmpegs with FFmpeg.exe
// between them (relayrun.h): the feeder passes on the bytes of the source as
// they come, unread, and the writer records the FLV that FFmpeg.exe makes of
// them (livefeed.h), which begins with everything the writer needs to know.
Args feeder_args(const Request::Input& input, long long timeout_us)
{
    Args args{"-hide_banner", "-nostats", "-loglevel", "warning"};
    Request::Input raw = input;
    raw.options.insert(raw.options.begin(), {"-f", "data"});
    append(args, input_args(raw, timeout_us, k_analyze_us, "flv"));
    append(args, {"-map", "0", "-c", "copy", "-f", "data", "-flush_packets", "1", "pipe:1"});
    return args;
}

// The writer of a transport stream relayed as it comes (tsfeed.h): what it is
// handed begins with every stream's first packet, so its short look sees them
// all; its time runs on the source's, jumps evened out as a direct read's are.
Args ts_writer_args(const Args& output)
{
    Args args = head();
    append(args, {"-stats_period", k_progress_period, "-nostdin", "-loglevel", "level+debug", "-dts_delta_threshold",
                  k_jump_threshold, "-f", "mpegts", "-analyzeduration", std::to_string(k_analyze_headless_us),
                  "-fpsprobesize", "0", "-i", "pipe:0"});
    append(args, output);
    return args;
}

Args writer_args(const Args& output)
{
    Args args = head();
    append(args, {"-stats_period", k_progress_period, "-nostdin", "-f", "flv", "-analyzeduration",
                  std::to_string(k_analyze_us), "-fpsprobesize", "0", "-i", "pipe:0"});
    append(args, output);
    return args;
}

} // namespace

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

bool Request::network_input() const
{
    return std::any_of(inputs.begin(), inputs.end(), [](const Input& in) { return in.kind != SourceKind::Local; });
}

bool Request::recording() const
{
    return network_input() && !output.empty() && protocol::source_kind(output) == SourceKind::Local;
}

Request read_request(std::vector<std::string> args)
{
    Request request;
    request.own = protocol::take_own_options(args);
    Args pending;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-i" && i + 1 < args.size()) {
            const std::string& url = args[++i];
            request.inputs.push_back({std::move(pending), url, protocol::source_kind(url)});
            pending.clear();
        } else {
            pending.push_back(args[i]);
        }
    }
    if (!pending.empty()) {
        request.output = pending.back();
        pending.pop_back();
    }
    request.output_options = std::move(pending);
    return request;
}

Invocation build_invocation(const std::vector<std::string>& given_args, long long timeout_us, int file_number)
{
    Request request = read_request(given_args);
    if (file_number > 0)
        request.own.file_number = file_number;
    Invocation inv;
    inv.network_input = request.network_input();
    inv.recording = request.recording();
    const Args output = output_args(request, inv);
    // A recording's time runs on whatever the source's time stamps do; the
    // debug level only to hear of each jump (LogFilter).
    const bool recording = request.recording();
    const Args all(given_args);
    inv.filter_log = recording && !has_option(all, "-loglevel") && !has_option(all, "-v");
    for (const Request::Input& input : request.inputs) {
        if (input.kind == SourceKind::Playlist && inv.hls_playlist.empty())
            inv.hls_playlist = input.url;
    }

    const Request::Input* only = request.inputs.size() == 1 ? &request.inputs.front() : nullptr;
    if (inv.filter_log && only && only->kind == SourceKind::Flv && !has_option(only->options, "-f")) {
        inv.feeder_args = feeder_args(*only, timeout_us);
        inv.args = writer_args(output);
        return inv;
    }
    // An SRT stream is a transport stream: relayed, it is recorded from its first key picture, however late.
    if (inv.filter_log && only && only->kind == SourceKind::OtherNetwork && !has_option(only->options, "-f") &&
        protocol::scheme_of(only->url) == "srt") {
        inv.feeder_args = feeder_args(*only, timeout_us);
        inv.args = ts_writer_args(output);
        inv.ts_feed = true;
        return inv;
    }
    // Analysed again, for longer, when the first listing of a stream shows no video.
    const bool retried = std::any_of(request.inputs.begin(), request.inputs.end(), [](const Request::Input& in) {
        return in.kind != SourceKind::Local && !has_option(in.options, "-analyzeduration");
    });
    const auto plain = [&](long long analyze_us) {
        Args args = head();
        if (recording)
            append(args, {"-stats_period", k_progress_period});
        if (inv.filter_log)
            append(args, {"-loglevel", "level+debug", "-dts_delta_threshold", k_jump_threshold});
        for (const Request::Input& input : request.inputs)
            append(args, input_args(input, timeout_us, analyze_us, "live_flv"));
        append(args, output);
        return args;
    };
    inv.args = plain(k_analyze_us);
    if (retried)
        inv.retry_args = plain(k_analyze_long_us);
    return inv;
}

} // namespace ffexe
