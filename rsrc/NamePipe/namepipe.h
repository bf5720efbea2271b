#pragma once

#include <mutex>
#include <pthread.h>
#include <string>

// A request and reply channel between two processes: the server receives one
// message per connection on a thread of its own, hands it to a callback that
// may set the reply, answers and drops the client. Plain C++, no Qt, so that
// helper executables link it too.

// Called with the received bytes (zero-terminated), their count, the reply
// (the server sends it back; a client's reply is dropped) and the user pointer.
typedef void (*PipeCallback)(const char* data, int len, std::string& reply, void* user);

class Pipe
{
public:
    Pipe(const char* name, unsigned int size);
    virtual ~Pipe();

    bool create();
    bool connect();
    bool create_or_connect();

protected:
    // Both return a descriptor, -1 on failure.
    static int create_pipe(const char* path);
    static int connect_pipe(const char* path);

    int m_pipe;          // -1 while not created or connected
    std::string m_name;  // full path: the user's temporary folder plus the short name
    unsigned int m_size; // bytes read at most per message
};

class ServicePipe : public Pipe
{
public:
    // Creates the pipe and, if that worked, starts the receiving thread. The
    // callback and its user pointer are in place before the thread starts;
    // without them here, set m_pFunc before any client can connect.
    ServicePipe(const char* name, unsigned int size, PipeCallback func = nullptr, void* user = nullptr);
    // Waits for the current exchange, callback included, to end.
    ~ServicePipe() override;

    // Whether the name was taken and the thread serves it.
    bool listening() const { return m_pipe >= 0; }

    PipeCallback m_pFunc;
    void* m_pUser;

private:
    static void* thread_proc(void* arg);
    bool exiting();
    void serve_one(char* buffer);

    pthread_t m_thread;
    bool m_exit;
    // Guards m_exit and m_client, so the destructor can cut a client that
    // never writes without touching a descriptor the thread already closed.
    std::mutex m_lock;
    int m_client;
};

class ClientPipe : public Pipe
{
public:
    // Connects at once; fails at once when there is no server or it is busy.
    ClientPipe(const char* name, unsigned int size);

    // One exchange: `msg` (cut to m_size - 1 bytes), then the reply reaches
    // m_pFunc. With `wait` false it runs on a thread of its own, which needs
    // this object to live until it is done.
    void send_msg(const char* msg, bool wait);

    PipeCallback m_pFunc;
    void* m_pUser;

private:
    static void* send_proc(void* arg);
    void exchange(const std::string& msg, int length);
};
