#include "segments.h"

#include "protocol/transcoder.h"

#include <cctype>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ffexe {

namespace {

bool exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// The segment muxer reads '%' as the start of a conversion.
std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%')
            out += '%';
    }
    return out;
}

bool sync_path(const std::string& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace

SegmentPlan SegmentPlan::make(const std::string& path, long long seconds, int first)
{
    SegmentPlan plan;
    plan.seconds = seconds;
    plan.first = first < 1 ? 1 : first;
    protocol::split_extension(path, plan.stem, plan.ext);
    plan.first_path = protocol::recording_file(path, plan.first);
    std::string lower = plan.ext;
    for (char& c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    plan.fragmented = lower == ".mp4";
    return plan;
}

std::string SegmentPlan::written(int n) const
{
    return protocol::numbered_name(stem, n, ext);
}

std::string SegmentPlan::final_name(int n) const
{
    return n == first ? first_path : written(n);
}

std::string SegmentPlan::pattern() const
{
    return protocol::numbered_name(escaped(stem), "%d", escaped(ext));
}

std::vector<int> SegmentTracker::completed(bool ended)
{
    std::vector<int> done;
    while (exists(m_plan.written(m_next + 1)))
        done.push_back(m_next++);
    if (ended && exists(m_plan.written(m_next)))
        done.push_back(m_next++);
    return done;
}

bool sync_to_disk(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const bool file = sync_path(path, O_RDONLY);
    // The folder too: a new file's name lives there.
    return sync_path(folder, O_RDONLY | O_DIRECTORY) && file;
}

} // namespace ffexe
