#pragma once

#include <cstddef>
#include <string>

// Local stream sockets that behave like a single-instance named pipe:
// one server per path, one client at a time, a client that finds no server or
// a busy one fails at once. Plain POSIX, so programs without Qt can link it.
//
// Beside the socket file lives "<path>.lock". The server holds a lock on its
// first byte for as long as it listens: that makes two servers starting at
// once safe, and a lock of a crashed process vanishes with the process, so a
// socket file it left behind is known to be stale and is replaced. A client
// holds a lock on the second byte for as long as its connection is open: a
// second client meanwhile finds the lock taken and fails with EBUSY instead of
// waiting in the listen queue. Every server starts with a lock file of its
// own, so a client left connected to a server that has gone blocks nobody.
// Every lock is given back explicitly, not only by closing: a child forked
// meanwhile shares it until its exec, and must not keep the name taken.
// Lock files and sockets are mode 0666; the folder they live in decides who
// may reach them. A path longer than a socket address can hold is reached
// through an open descriptor of its folder.
namespace protocol::localsocket {

// Creates the listening socket at `path`. Returns -1 with errno set when
// another live server owns the path (EADDRINUSE) or on any other failure.
int listen_at(const char* path);

// Waits for the next client of a listening socket. Returns -1 once
// wake() was called, or on failure. A read from the client gives up after
// the silence limit.
int accept_client(int server);

// How long a client may stay silent before a read from it gives up: 5000 ms
// unless changed. Clients accepted afterwards get the new limit.
void set_silence_limit_ms(long ms);

// Connects to the server at `path` without waiting. Returns -1 with errno set:
// ENOENT or ECONNREFUSED when nobody listens, EBUSY when another client is
// being served.
int connect_to(const char* path);

// One read of up to `size` bytes; 0 when the peer closed, -1 on failure.
long read_once(int fd, char* buffer, std::size_t size);

// Writes all `size` bytes; never raises SIGPIPE. Returns the count or -1.
long write_once(int fd, const char* data, std::size_t size);

// One request and its reply on a connected socket: writes all of `msg`
// (how much in `written`), then reads once, up to `size` bytes, into `reply`.
enum class Exchange { Done, WriteFailed, ReadFailed };
Exchange exchange(int fd, const std::string& msg, std::size_t size, std::string& reply, long* written = nullptr);

// Ends a blocked accept_client() or read_once() on `fd` from another thread.
void wake(int fd);

// Closes a socket from any of the calls above. A server's socket file is
// removed before its lock is given up, so it never removes a successor's file.
bool close(int fd);

} // namespace protocol::localsocket
