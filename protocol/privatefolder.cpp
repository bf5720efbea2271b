#include "privatefolder.h"

#include <cerrno>
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
    if (runtime && *runtime)
        folder.path = without_trailing_slashes(runtime) + "/davaz";
    else
        folder.path = system_temp() + "/davaz-" + std::to_string(::geteuid());

    if (::mkdir(folder.path.c_str(), 0700) != 0 && errno != EEXIST) {
        folder.problem = TempFolder::CannotCreate;
        folder.error = errno;
        return folder;
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
        return folder;
    }
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
        folder.problem = TempFolder::OtherOwner;
    } else if ((st.st_mode & 07777) != 0700) {
        // A umask may have taken the owner's rights; a looser folder of ours is tightened.
        ::fchmod(fd, 0700);
    }
    ::close(fd);
    return folder;
}

std::string temp_path(const char* name, std::string* why)
{
    const TempFolder folder = temp_folder();
    if (why)
        *why = folder.message();
    return folder.usable() ? folder.path + "/" + name : std::string();
}

} // namespace protocol
