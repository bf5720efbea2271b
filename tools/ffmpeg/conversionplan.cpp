#include "conversionplan.h"

#include "protocol/command.h"
#include "protocol/conversion.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ffexe {

namespace {

bool contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// "30000/1001", "25" or "29.97" as a number; 0 when it is none.
double rate_value(const std::string& text)
{
    char* end = nullptr;
    const double num = std::strtod(text.c_str(), &end);
    if (*end == '/') {
        const double den = std::strtod(end + 1, &end);
        return *end == '\0' && den > 0 ? num / den : 0.0;
    }
    return *end == '\0' ? num : 0.0;
}

// "1600k", "2M" or "800000" in bits per second; 0 when it is none.
long long bits_per_second(const std::string& text)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    const double unit = *end == 'k' || *end == 'K' ? 1e3 : *end == 'M' ? 1e6 : *end == '\0' ? 1 : 0;
    return value > 0 && (*end == '\0' || end[1] == '\0') ? std::llround(value * unit) : 0;
}

// A rate as ffmpeg takes it, NTSC's rates and whole numbers exactly.
std::string rate_text(double rate)
{
    if (std::fabs(rate - std::round(rate)) < 0.01)
        return std::to_string(std::lround(rate));
    if (std::fabs(rate * 1.001 - std::round(rate * 1.001)) < 0.01)
        return std::to_string(std::lround(rate * 1.001) * 1000) + "/1001";
    return std::to_string(std::lround(rate * 1000)) + "/1000";
}

// The rate pictures go out at when the container or the codec wants a
// constant one: the rate that holds every time stamp when it is sensible,
// else the average.
double constant_rate(const VideoInput& v)
{
    const bool raw_fits = v.raw_rate >= 1 && v.raw_rate <= 120 && (v.avg_rate <= 0 || v.raw_rate < v.avg_rate * 1.5);
    const double rate = raw_fits ? v.raw_rate : v.avg_rate > 0 ? v.avg_rate : 25.0;
    return std::clamp(rate, 1.0, 120.0);
}

// The lowest of MPEG's rates that loses no picture, a whole multiple of the
// input's when one is (each picture shown equally long), else the highest.
std::string standard_rate(double rate)
{
    std::string lowest;
    for (const std::string& legal : standard_rates()) {
        const double times = rate_value(legal) / rate;
        if (times < 0.99)
            continue;
        if (std::fabs(times - std::round(times)) < 0.001)
            return legal;
        if (lowest.empty())
            lowest = legal;
    }
    return lowest.empty() ? standard_rates().back() : lowest;
}

// `size` to the nearest multiple of `align`, at least one.
int aligned(double size, int align)
{
    return std::max(align, int(std::lround(size / align)) * align);
}

struct Picture
{
    int width, height; // stored, as shown upright
    double sar;        // width of a sample against its height
    double shown() const { return width * sar / height; }
};

struct Fitted
{
    std::string filters;
    int width, height;
};

// The video filters that fit the picture to the codec: upright (ffmpeg turns
// it by itself), progressive, a size the codec takes without distorting it,
// then 8-bit 4:2:0.
Fitted picture_filters(const ConversionRequest& request, const VideoInput& v, const VideoCodec& codec,
                       const std::string& rate)
{
    const bool turned = v.rotation == 90 || v.rotation == 270;
    Picture p{turned ? v.height : v.width, turned ? v.width : v.height,
              turned ? double(v.sar_den) / v.sar_num : double(v.sar_num) / v.sar_den};
    std::vector<std::string> filters;
    if (v.interlaced)
        filters.push_back("yadif=deint=interlaced");
    // Each picture of a new rate is the one nearest in time, not the last one before.
    if (!rate.empty())
        filters.push_back("fps=" + rate);

    // The size a picture is shown at, scaled into a box turned as the picture is.
    const auto fit = [&p](int w, int h) {
        if (p.height > p.width * p.sar)
            std::swap(w, h);
        const double shown_w = p.width * p.sar, scale = std::min(w / shown_w, double(h) / p.height);
        return std::pair<double, double>{shown_w * scale, p.height * scale};
    };
    const double dar = p.shown();
    const bool square = p.sar > 0.999 && p.sar < 1.001;
    bool keeps_samples = codec.aspect == Aspect::Any || square;
    if (codec.aspect == Aspect::FourThreeOr && !square)
        keeps_samples = std::fabs(dar / (4.0 / 3) - 1) < 0.005 || std::fabs(dar / (16.0 / 9) - 1) < 0.005;

    std::optional<std::pair<double, double>> scaled;
    if (request.width > 0 && request.height > 0)
        scaled = fit(request.width, request.height);
    else if (!keeps_samples)
        scaled = std::pair<double, double>{p.width * p.sar, double(p.height)};
    Fitted fitted{{}, p.width, p.height};
    const auto size = [&fitted] { return std::to_string(fitted.width) + ":" + std::to_string(fitted.height); };
    if (scaled) {
        fitted.width = aligned(scaled->first, codec.align);
        fitted.height = aligned(scaled->second, codec.align);
        filters.push_back("scale=" + size());
        filters.push_back("setsar=1");
    } else if (p.width % codec.align || p.height % codec.align) {
        // A few rows or columns off the right and the bottom: nothing is stretched.
        fitted.width = p.width - p.width % codec.align;
        fitted.height = p.height - p.height % codec.align;
        if (fitted.width > 0 && fitted.height > 0) {
            filters.push_back("crop=" + size() + ":0:0");
        } else {
            fitted.width = aligned(p.width + codec.align / 2, codec.align);
            fitted.height = aligned(p.height + codec.align / 2, codec.align);
            filters.push_back("pad=" + size());
        }
    }
    filters.push_back("format=yuv420p");
    for (const std::string& filter : filters)
        fitted.filters += (fitted.filters.empty() ? "" : ",") + filter;
    return fitted;
}

void add(std::vector<std::string>& args, std::initializer_list<std::string> more)
{
    args.insert(args.end(), more);
}

void add(std::vector<std::string>& args, const std::vector<std::string>& more)
{
    args.insert(args.end(), more.begin(), more.end());
}

// True when the pictures are encoded (not copied) by FFmpeg.exe itself.
bool plan_video(const ConversionRequest& request, const VideoInput& v, std::vector<std::string>& args)
{
    const Container& c = *request.container;
    const VideoCodec& codec = *c.video;
    add(args, {"-map", "0:" + std::to_string(v.index)});
    const bool steady = v.avg_rate <= 0 || std::fabs(v.raw_rate / v.avg_rate - 1) < 0.01;
    const bool asked = request.width > 0 || !request.bitrate.empty() || !request.rate.empty();
    if (request.copy && !asked && contains(c.copy_video, v.codec) && (v.rotation == 0 || c.holds_rotation) &&
        (v.plain_pixels || !c.copy_plain) && (steady || !c.constant_rate)) {
        add(args, {"-c:v", "copy"});
        // Players look for HEVC in MP4 under this tag.
        if (v.codec == "hevc")
            add(args, {"-tag:v", "hvc1"});
        return false;
    }
    double rate = rate_value(request.rate);
    if (rate <= 0 && (c.constant_rate || codec.standard_rates))
        rate = constant_rate(v);
    std::string rate_arg;
    if (rate > 0) {
        rate_arg = codec.standard_rates ? standard_rate(rate) : rate_text(rate);
        rate = rate_value(rate_arg);
    }
    const Fitted fitted = picture_filters(request, v, codec, rate_arg);
    add(args, {"-c:v", codec.encoder ? codec.encoder : "rawvideo", "-vf", fitted.filters});
    add(args, codec.settings);
    if (!rate_arg.empty())
        add(args, {"-r", rate_arg});
    // Otherwise ffmpeg fills an MP4's gaps with the picture after them, early.
    add(args, {"-fps_mode", c.constant_rate ? "cfr" : rate_arg.empty() ? "vfr" : "passthrough"});
    if (!codec.encoder)
        return true;
    if (!request.bitrate.empty()) {
        add(args, {"-b:v", request.bitrate});
        // Held to it over a second, or a short clip with an easy start ends far over it.
        const long long asked = bits_per_second(request.bitrate);
        if (asked > 0)
            add(args, {"-maxrate", std::to_string(asked * 6 / 5), "-bufsize", std::to_string(asked)});
    } else {
        add(args, codec.quality);
    }
    return false;
}

void plan_audio(const ConversionRequest& request, const AudioInput& a, std::vector<std::string>& args)
{
    const Container& c = *request.container;
    const AudioCodec& codec = *c.audio;
    add(args, {"-map", "0:" + std::to_string(a.index)});
    if (request.copy && contains(c.copy_audio, a.codec) && a.channels <= codec.max_channels) {
        add(args, {"-c:a", "copy"});
        return;
    }
    // What the container does not say is taken as a stereo 48 kHz sound would have it.
    const int given = a.rate > 0 ? a.rate : 48000;
    int rate = codec.rates.back();
    for (const int legal : codec.rates) {
        if (legal >= given) {
            rate = legal;
            break;
        }
    }
    const int channels = std::min(a.channels > 0 ? a.channels : 2, codec.max_channels);
    const int kbps = std::min(codec.kbps_per_channel * channels, codec.max_kbps);
    add(args, {"-c:a", codec.encoder, "-b:a", std::to_string(kbps) + "k", "-ar", std::to_string(rate), "-ac",
               std::to_string(channels)});
    // Without time stamps of the container's own, a sound that begins late or
    // has gaps is filled with silence, so it stays beside its pictures.
    if (c.constant_rate)
        add(args, {"-af", "aresample=async=1:first_pts=0"});
}

} // namespace

std::optional<ConversionRequest> read_conversion(std::vector<std::string> args)
{
    ConversionRequest request;
    request.copy = protocol::take_copy_request(args);
    request.args = args;
    if (args.size() < 3)
        return std::nullopt;
    request.output = args.back();
    request.container = container_for(request.output);
    if (!request.container || request.output.empty() || request.output[0] == '-' ||
        protocol::source_kind(request.output) != protocol::SourceKind::Local)
        return std::nullopt;
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool valued = i + 2 < args.size(); // the output still follows the value
        if (arg == "-y") {
            continue;
        } else if (arg == "-re" && request.input.empty()) {
            request.input_options.push_back(arg);
        } else if (arg == "-i" && valued && request.input.empty() &&
                   protocol::source_kind(args[i + 1]) == protocol::SourceKind::Local) {
            request.input = args[++i];
        } else if (arg == "-r" && valued && rate_value(args[i + 1]) > 0) {
            request.rate = args[++i];
        } else if (arg == "-b:v" && valued) {
            request.bitrate = args[++i];
        } else if (arg == "-s" && valued &&
                   std::sscanf(args[i + 1].c_str(), "%dx%d", &request.width, &request.height) == 2 &&
                   request.width > 0 && request.height > 0) {
            ++i;
        } else {
            return std::nullopt;
        }
    }
    if (request.input.empty() || request.input == request.output)
        return std::nullopt;
    return request;
}

ConversionPlan plan_conversion(const ConversionRequest& request, const InputInfo& input)
{
    ConversionPlan plan;
    std::vector<std::string>& args = plan.args;
    args = request.input_options;
    add(args, {"-i", request.input});
    if (input.video)
        plan.encoded_here = plan_video(request, *input.video, args);
    if (input.audio)
        plan_audio(request, *input.audio, args);
    add(args, {"-max_muxing_queue_size", "4096"});
    if (plan.encoded_here) {
        add(args, {"-f", "nut", "pipe:1"});
        return plan;
    }
    add(args, {"-f", request.container->muxer});
    add(args, request.container->muxer_settings);
    if (!input.video)
        add(args, request.container->sound_only_settings);
    args.push_back(request.output);
    return plan;
}

long long bitrate_of(const ConversionRequest& request)
{
    return bits_per_second(request.bitrate);
}

} // namespace ffexe
