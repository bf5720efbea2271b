#include "namepipe.h"

#include "protocol/localsocket.h"
#include "protocol/privatefolder.h"
#include "protocol/repair.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace ls = protocol::localsocket;

Pipe::Pipe(const char* name, unsigned int size)
    : m_pipe(-1)
    , m_size(size)
{
    // In a refused folder the name stays empty, so every create and connect fails.
    std::string why;
    m_name = protocol::temp_path(name ? name : "", &why);
    if (m_name.empty()) {
        std::fprintf(stderr, "@@ pipe: %s\n", why.c_str());
        std::fflush(stderr);
    }
}

Pipe::~Pipe()
{
    if (m_pipe >= 0) {
        [[maybe_unused]] const bool closed = ls::close(m_pipe);
        assert(closed && "CloseHandle(m_pipe)");
        m_pipe = -1;
    }
}

bool Pipe::create()
{
    if (m_pipe < 0)
        m_pipe = create_pipe(m_name.c_str());
    return m_pipe >= 0;
}

bool Pipe::connect()
{
    if (m_pipe < 0)
        m_pipe = connect_pipe(m_name.c_str());
    return m_pipe >= 0;
}

bool Pipe::create_or_connect()
{
    if (m_pipe < 0) {
        m_pipe = create_pipe(m_name.c_str());
        if (m_pipe < 0)
            m_pipe = connect_pipe(m_name.c_str());
    }
    return m_pipe >= 0;
}

int Pipe::create_pipe(const char* path)
{
    const int fd = ls::listen_at(path);
    if (fd < 0) {
        std::fputs("@@ creator name pipe failed ...\n", stderr);
        std::fflush(stderr);
    }
    return fd;
}

int Pipe::connect_pipe(const char* path)
{
    const int fd = ls::connect_to(path);
    if (fd < 0) {
        std::fprintf(stderr, "@@ CreateFile failed . error code: %lu\n", static_cast<unsigned long>(errno));
        std::fflush(stderr);
    }
    return fd;
}

ServicePipe::ServicePipe(const char* name, unsigned int size, PipeCallback func, void* user)
    : Pipe(name, size)
    , m_pFunc(func)
    , m_pUser(user)
    , m_thread()
    , m_exit(false)
    , m_client(-1)
{
    m_pipe = create_pipe(m_name.c_str());
    if (m_pipe >= 0 && pthread_create(&m_thread, nullptr, &ServicePipe::thread_proc, this) != 0) {
        // Without a thread nobody would ever answer: stay idle instead.
        ls::close(m_pipe);
        m_pipe = -1;
    }
}

ServicePipe::~ServicePipe()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_exit = true;
        // A client that connected but never writes would hold the thread
        // in its read for ever.
        if (m_client >= 0)
            ls::wake(m_client);
    }
    if (m_pipe >= 0) {
        ls::wake(m_pipe);
        pthread_join(m_thread, nullptr);
    }
}

bool ServicePipe::exiting()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_exit;
}

void* ServicePipe::thread_proc(void* arg)
{
    ServicePipe* This = static_cast<ServicePipe*>(arg);
    std::vector<char> buffer(This->m_size + 1);
    while (!This->exiting())
        This->serve_one(buffer.data());
    return nullptr;
}

void ServicePipe::serve_one(char* buffer)
{
    [[maybe_unused]] ServicePipe* This = this;
    const int client = ls::accept_client(m_pipe);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_exit) {
            if (client >= 0)
                ls::close(client);
            return;
        }
        m_client = client;
    }
    if (client < 0) {
        // Out of descriptors or the like: try again shortly instead of spinning.
        const timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
        return;
    }

    std::string reply = protocol::reply_ok;
    const long got = ls::read_once(client, buffer, m_size);
    if (got <= 0) {
        // A client that closes without writing lands here too.
        std::fputs("read data failed ...\n", stderr);
        std::fflush(stderr);
    } else {
        buffer[got] = '\0';
        assert(This->m_pFunc);
        if (m_pFunc)
            m_pFunc(buffer, static_cast<int>(got), reply, m_pUser);
        if (!reply.empty() && ls::write_once(client, reply.data(), reply.size()) < 0) {
            std::fputs("response data failed ...\n", stderr);
            std::fflush(stderr);
        }
    }

    // One message and one reply per connection.
    std::lock_guard<std::mutex> guard(m_lock);
    m_client = -1;
    ls::close(client);
}

ClientPipe::ClientPipe(const char* name, unsigned int size)
    : Pipe(name, size)
    , m_pFunc(nullptr)
    , m_pUser(nullptr)
{
    m_pipe = connect_pipe(m_name.c_str());
}

namespace {

struct SendJob
{
    ClientPipe* pipe;
    std::string msg;
    int length;
};

} // namespace

void ClientPipe::send_msg(const char* msg, bool wait)
{
    if (m_pipe < 0) {
        std::fputs("send_msg(): --- no pipe ...\n", stderr);
        std::fflush(stderr);
        return;
    }
    // What does not fit the buffer together with its terminator is cut off.
    const std::size_t room = m_size > 0 ? m_size - 1 : 0;
    const std::size_t length = msg ? std::strlen(msg) : 0;
    std::string copy(msg ? msg : "", length < room ? length : room);
    if (wait) {
        exchange(copy, static_cast<int>(length));
        return;
    }
    SendJob* job = new SendJob{this, std::move(copy), static_cast<int>(length)};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, &ClientPipe::send_proc, job) == 0)
        pthread_detach(thread);
    else
        send_proc(job); // no thread to be had: better late than never
}

void* ClientPipe::send_proc(void* arg)
{
    SendJob* job = static_cast<SendJob*>(arg);
    job->pipe->exchange(job->msg, job->length);
    delete job;
    return nullptr;
}

void ClientPipe::exchange(const std::string& msg, int length)
{
    [[maybe_unused]] ClientPipe* This = this;
    assert(This->m_pFunc);
    if (!m_pFunc)
        return;

    std::string received;
    long written = 0;
    const ls::Exchange done = ls::exchange(m_pipe, msg, m_size, received, &written);
    if (written >= 0) {
        std::fprintf(stderr, "---- [namepipe] dwWrite: %ld, strlen: %d\n", written, length);
        std::fflush(stderr);
    }
    std::string reply;
    if (done != ls::Exchange::Done) {
        reply = done == ls::Exchange::WriteFailed ? "Error:WriteFile()" : "Error:ReadFile()";
        m_pFunc(nullptr, 0, reply, m_pUser);
        return;
    }
    m_pFunc(received.c_str(), static_cast<int>(received.size()), reply, m_pUser);
}
