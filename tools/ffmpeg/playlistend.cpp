#include "playlistend.h"

#include <sstream>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/dict.h>
}

namespace ffexe {

namespace {

std::string read_all(const std::string& url, long long timeout_us)
{
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "rw_timeout", timeout_us, 0);
    AVIOContext* io = nullptr;
    const int err = avio_open2(&io, url.c_str(), AVIO_FLAG_READ, nullptr, &options);
    av_dict_free(&options);
    if (err < 0)
        return {};
    std::string text;
    unsigned char buffer[4096];
    // A playlist is small; one far larger is not one.
    for (int n; text.size() < (4u << 20) && (n = avio_read(io, buffer, sizeof buffer)) > 0;)
        text.append(reinterpret_cast<const char*>(buffer), size_t(n));
    avio_closep(&io);
    return text;
}

std::string resolved(const std::string& base, const std::string& ref)
{
    if (ref.find("://") != std::string::npos)
        return ref;
    const size_t scheme = base.find("://");
    if (!ref.empty() && ref[0] == '/') {
        const size_t host_end = base.find('/', scheme == std::string::npos ? 0 : scheme + 3);
        return base.substr(0, host_end) + ref;
    }
    const size_t query = base.find_first_of("?#");
    const size_t slash = base.rfind('/', query == std::string::npos ? std::string::npos : query);
    return base.substr(0, slash + 1) + ref;
}

// The test on a playlist's text; `variant` receives the first variant's
// address, as written, when the text lists variants instead of segments.
bool playlist_text_ended(const std::string& text, std::string* variant)
{
    std::istringstream lines(text);
    bool variant_next = false;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("#EXT-X-ENDLIST", 0) == 0)
            return true;
        if (line.rfind("#EXT-X-STREAM-INF", 0) == 0) {
            variant_next = true;
        } else if (variant_next && !line.empty() && line[0] != '#') {
            if (variant && variant->empty())
                *variant = line;
            variant_next = false;
        }
    }
    return false;
}

} // namespace

bool playlist_ended(const std::string& url, long long timeout_us)
{
    std::string variant;
    if (playlist_text_ended(read_all(url, timeout_us), &variant))
        return true;
    return !variant.empty() && playlist_text_ended(read_all(resolved(url, variant), timeout_us), nullptr);
}

} // namespace ffexe
