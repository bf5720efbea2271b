#include "stopwatcher.h"

#include "protocol/contract.h"
#include "protocol/privatefolder.h"

#include <sys/stat.h>

namespace ffexe {

std::string stop_request_path()
{
    return protocol::temp_path(protocol::stop_file);
}

StopWatcher::StopWatcher(std::string path)
    : m_path(std::move(path))
    , m_stale(identity_of(m_path))
{}

bool StopWatcher::requested()
{
    const auto now = identity_of(m_path);
    if (!now) {
        m_stale.reset();
        return false;
    }
    // Inode numbers are reused at once, so a replaced file is told apart by its change time too.
    return !m_stale || m_stale->dev != now->dev || m_stale->ino != now->ino ||
           m_stale->ctime.tv_sec != now->ctime.tv_sec || m_stale->ctime.tv_nsec != now->ctime.tv_nsec;
}

std::optional<StopWatcher::Identity> StopWatcher::identity_of(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return Identity{st.st_dev, st.st_ino, st.st_ctim};
}

} // namespace ffexe
