#include "commandline.h"

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

Invocation build_invocation(const std::vector<std::string>& user_args, long long timeout_us)
{
    Invocation inv;
    inv.args = {"-hide_banner", "-nostats", "-y", "-progress", "pipe:" + std::to_string(k_progress_fd)};

    size_t group_start = 0; // where the options of the next input begin
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
    return inv;
}

} // namespace ffexe
