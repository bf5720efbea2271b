#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <time.h>

namespace ffexe {

// The capture's stop request in the user's temporary folder; empty when that
// folder is refused, and then no request can reach us.
std::string stop_request_path();

// Notices the capture's stop-request file. A file that is already there when
// the watcher is made is left over from an earlier run and does not count,
// unless it goes away or is replaced.
class StopWatcher
{
public:
    explicit StopWatcher(std::string path);

    bool requested();

private:
    struct Identity
    {
        dev_t dev;
        ino_t ino;
        timespec ctime;
    };
    static std::optional<Identity> identity_of(const std::string& path);

    std::string m_path;
    std::optional<Identity> m_stale;
};

} // namespace ffexe
