#include "localsocket.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace protocol::localsocket {

namespace {

// Byte 0 of the lock file: the server. Byte 1: the client being served.
constexpr off_t kServerByte = 0;
constexpr off_t kClientByte = 1;
// A client writes its message as soon as it has connected; one that stays
// silent must not hold the only serving thread for ever.
std::atomic<long> g_silence_ms{5000};

// What a socket carries beyond its descriptor: its lock file and, for a
// server, the socket file it has to remove.
struct Extra
{
    int lock = -1;
    bool server = false;
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
};

std::mutex g_mutex;
std::map<int, Extra> g_extras;

void keep_errno_close(int fd)
{
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

// Open-file-description locks: unlike process locks they also keep two
// servers or two clients inside one process apart, and they are not
// inherited by programs we start (every descriptor here is close-on-exec).
bool set_lock(int fd, off_t byte, short type)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

bool try_lock(int fd, off_t byte)
{
    return set_lock(fd, byte, F_WRLCK);
}

// Gives a byte back before the descriptor is closed. Closing alone is not
// enough: a child forked meanwhile to start a program shares the open file
// description, and with it the lock, until it reaches its exec or its exit,
// which on a busy machine can be long after we let go. An explicit unlock
// frees the byte for every copy at once.
void release(int fd, off_t byte)
{
    const int saved = errno;
    set_lock(fd, byte, F_UNLCK);
    errno = saved;
    keep_errno_close(fd);
}

bool same_file(int fd, const char* path)
{
    struct stat opened, named;
    return ::fstat(fd, &opened) == 0 && ::lstat(path, &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

// A socket address for `path`. Its room (107 bytes) is less than a folder's
// path may need; a longer path is reached as "/proc/self/fd/N/NAME" through
// a descriptor of its folder, held while the address is used.
class Address
{
public:
    explicit Address(const char* path)
    {
        m_address.sun_family = AF_UNIX;
        const std::size_t length = std::strlen(path);
        if (length == 0) {
            errno = ENOENT;
            return;
        }
        if (length < sizeof(m_address.sun_path)) {
            std::memcpy(m_address.sun_path, path, length + 1);
            m_ok = true;
            return;
        }
        const char* slash = std::strrchr(path, '/');
        if (!slash || slash == path) {
            errno = ENAMETOOLONG;
            return;
        }
        m_folder = ::open(std::string(path, std::size_t(slash - path)).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (m_folder < 0)
            return;
        const int n =
            std::snprintf(m_address.sun_path, sizeof(m_address.sun_path), "/proc/self/fd/%d/%s", m_folder, slash + 1);
        m_ok = n > 0 && std::size_t(n) < sizeof(m_address.sun_path);
        if (!m_ok)
            errno = ENAMETOOLONG;
    }
    ~Address()
    {
        if (m_folder >= 0)
            keep_errno_close(m_folder);
    }
    Address(const Address&) = delete;
    Address& operator=(const Address&) = delete;

    bool ok() const { return m_ok; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&m_address); }
    socklen_t size() const { return sizeof(m_address); }

private:
    sockaddr_un m_address = {};
    int m_folder = -1;
    bool m_ok = false;
};

// Opens the lock file at `lockPath` and takes `byte` of it. -1 with errno
// EADDRINUSE (EBUSY for a client's byte) when another holds it.
int open_and_lock(const std::string& lockPath, off_t byte, bool create)
{
    for (;;) {
        const int lock = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0666);
        if (lock < 0)
            return -1;
        if (!try_lock(lock, byte)) {
            keep_errno_close(lock);
            errno = byte == kServerByte ? EADDRINUSE : EBUSY;
            return -1;
        }
        // A new server may have put its own lock file in place meanwhile: the lock must be on that one.
        if (same_file(lock, lockPath.c_str()))
            return lock;
        release(lock, byte);
    }
}

// Gives a server that owns the name (it holds `lock`, the file at
// `lockPath`) a lock file of its own: a client of an earlier server that never
// let go of its byte would otherwise refuse every client of this one. Returns
// the new lock, held, or -1 with the old one closed.
int fresh_lock(int lock, const std::string& lockPath)
{
    std::string name = lockPath + ".XXXXXX";
    const int fresh = ::mkostemp(name.data(), O_CLOEXEC);
    if (fresh < 0) {
        release(lock, kServerByte);
        return -1;
    }
    ::fchmod(fresh, 0666); // the umask must not keep the user's other programs out
    if (!try_lock(fresh, kServerByte) || ::rename(name.c_str(), lockPath.c_str()) != 0) {
        ::unlink(name.c_str());
        release(fresh, kServerByte);
        release(lock, kServerByte);
        return -1;
    }
    release(lock, kServerByte);
    return fresh;
}

// Connects without waiting: a full listen queue fails with EAGAIN instead of
// blocking, and nobody listening fails with ECONNREFUSED or ENOENT.
int connect_now(const Address& address)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    int rc;
    do {
        rc = ::connect(fd, address.get(), address.size());
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        keep_errno_close(fd);
        return -1;
    }
    return fd;
}

void remember(int fd, Extra extra)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_extras[fd] = std::move(extra);
}

} // namespace

int listen_at(const char* path)
{
    const Address address(path);
    if (!address.ok())
        return -1;

    const std::string lockPath = std::string(path) + ".lock";
    int lock = open_and_lock(lockPath, kServerByte, true);
    if (lock < 0 || (lock = fresh_lock(lock, lockPath)) < 0)
        return -1;

    // We own the name now. A socket file still there was left by a server
    // that died, unless its lock file was removed under a live server: ask.
    struct stat st;
    if (::lstat(path, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            release(lock, kServerByte);
            errno = EADDRINUSE;
            return -1;
        }
        const int probe = connect_now(address);
        if (probe >= 0 || errno == EAGAIN) {
            if (probe >= 0)
                ::close(probe);
            release(lock, kServerByte);
            errno = EADDRINUSE;
            return -1;
        }
        ::unlink(path);
    }

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        release(lock, kServerByte);
        return -1;
    }
    if (::bind(fd, address.get(), address.size()) != 0) {
        keep_errno_close(fd);
        release(lock, kServerByte);
        return -1;
    }
    ::chmod(path, 0666);
    if (::listen(fd, 8) != 0 || ::lstat(path, &st) != 0) {
        ::unlink(path);
        keep_errno_close(fd);
        release(lock, kServerByte);
        return -1;
    }

    remember(fd, {lock, true, path, st.st_dev, st.st_ino});
    return fd;
}

int accept_client(int server)
{
    for (;;) {
        const int fd = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            const long ms = g_silence_ms;
            const timeval silence = {ms / 1000, (ms % 1000) * 1000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &silence, sizeof silence);
            return fd;
        }
        // A client that gave up while queued is no reason to stop waiting.
        if (errno != EINTR && errno != ECONNABORTED)
            return -1;
    }
}

void set_silence_limit_ms(long ms)
{
    g_silence_ms = ms > 0 ? ms : 1;
}

int connect_to(const char* path)
{
    const Address address(path);
    if (!address.ok())
        return -1;

    const std::string lockPath = std::string(path) + ".lock";
    const int lock = open_and_lock(lockPath, kClientByte, false);
    // No lock file: no server has ever run here. One we may not write to
    // only costs the busy check: the connection then waits in the listen
    // queue like any other.
    if (lock < 0 && errno != EACCES)
        return -1;

    const int fd = connect_now(address);
    if (fd < 0) {
        const int saved = (errno == EAGAIN) ? EBUSY : errno;
        if (lock >= 0)
            release(lock, kClientByte);
        errno = saved;
        return -1;
    }
    // The exchange itself blocks like a pipe does.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    Extra extra;
    extra.lock = lock;
    remember(fd, std::move(extra));
    return fd;
}

long read_once(int fd, char* buffer, std::size_t size)
{
    ssize_t n;
    do {
        n = ::recv(fd, buffer, size, 0);
    } while (n < 0 && errno == EINTR);

    // The reply ends a client's exchange: the server drops the connection
    // after it, so the next client need not wait for this one to close.
    std::lock_guard<std::mutex> guard(g_mutex);
    const auto it = g_extras.find(fd);
    if (it != g_extras.end() && !it->second.server && it->second.lock >= 0) {
        release(it->second.lock, kClientByte);
        it->second.lock = -1;
    }
    return static_cast<long>(n);
}

long write_once(int fd, const char* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        // MSG_NOSIGNAL: a peer that went away must not end the whole program.
        const ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

Exchange exchange(int fd, const std::string& msg, std::size_t size, std::string& reply, long* written)
{
    const long sent = write_once(fd, msg.data(), msg.size());
    if (written)
        *written = sent;
    if (sent < 0)
        return Exchange::WriteFailed;
    std::string buffer(size, '\0');
    const long got = read_once(fd, buffer.data(), size);
    if (got <= 0)
        return Exchange::ReadFailed;
    buffer.resize(std::size_t(got));
    reply = std::move(buffer);
    return Exchange::Done;
}

void wake(int fd)
{
    ::shutdown(fd, SHUT_RDWR);
}

bool close(int fd)
{
    Extra extra;
    bool known = false;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        const auto it = g_extras.find(fd);
        if (it != g_extras.end()) {
            extra = std::move(it->second);
            g_extras.erase(it);
            known = true;
        }
    }
    if (known && extra.server) {
        struct stat st;
        if (::lstat(extra.path.c_str(), &st) == 0 && st.st_dev == extra.dev && st.st_ino == extra.ino)
            ::unlink(extra.path.c_str());
    }
    const bool closed = ::close(fd) == 0;
    if (extra.lock >= 0)
        release(extra.lock, extra.server ? kServerByte : kClientByte);
    return closed;
}

} // namespace protocol::localsocket
