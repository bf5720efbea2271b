#include "privatefolder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace protocol {

namespace {

std::string without_trailing_slashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The system's temporary folder as Qt names it: $TMPDIR when set, else /tmp,
// its links resolved when it exists.
std::string system_temp()
{
    const char* env = std::getenv("TMPDIR");
    std::string path = without_trailing_slashes(env && *env ? env : "/tmp");
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    return path;
}

// Makes `path` (0700) and checks that it is a folder of ours, not a link.
void take(TempFolder& folder)
{
    if (::mkdir(folder.path.c_str(), 0700) != 0 && errno != EEXIST) {
        folder.problem = TempFolder::CannotCreate;
        folder.error = errno;
        return;
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
        return;
    }
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
        folder.problem = TempFolder::OtherOwner;
    } else if ((st.st_mode & 07777) != 0700) {
        // A umask may have taken the owner's rights; a looser folder of ours is tightened.
        ::fchmod(fd, 0700);
    }
    ::close(fd);
}

// The user's own cache: $XDG_CACHE_HOME when set, else ~/.cache; "" without either.
std::string cache_home()
{
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && *cache)
        return without_trailing_slashes(cache);
    const char* home = std::getenv("HOME");
    return home && *home ? without_trailing_slashes(home) + "/.cache" : std::string();
}

void say_once(const std::string& line)
{
    static bool said = false;
    if (said)
        return;
    said = true;
    std::fprintf(stderr, "%s\n", line.c_str());
}

} // namespace

std::string TempFolder::message() const
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

TempFolder temp_folder()
{
    TempFolder folder;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        folder.path = without_trailing_slashes(runtime) + "/davaz";
        take(folder);
        return folder;
    }
    folder.path = system_temp() + "/davaz-" + std::to_string(::geteuid());
    take(folder);
    // Only a name someone else holds moves the folder: another failure would
    // meet the cache folder as well, and is better told as it is.
    if (folder.problem != TempFolder::Link && folder.problem != TempFolder::NotFolder &&
        folder.problem != TempFolder::OtherOwner)
        return folder;
    const std::string cache = cache_home();
    if (cache.empty())
        return folder;
    TempFolder fallback;
    fallback.instead_of = folder.message() + "; " + cache + "/davaz/run is used instead";
    // The folders on the way are made as XDG asks for them; a failure shows in the last one.
    for (const std::string& path : {cache, cache + "/davaz"})
        ::mkdir(path.c_str(), 0700);
    fallback.path = cache + "/davaz/run";
    take(fallback);
    if (fallback.usable())
        say_once(fallback.instead_of);
    return fallback;
}

std::string temp_path(const char* name, std::string* why)
{
    const TempFolder folder = temp_folder();
    if (why)
        *why = folder.message();
    return folder.usable() ? folder.path + "/" + name : std::string();
}

} // namespace protocol
