// Pipe exchanges per second: connect, one message, one reply, disconnect.

#include "figure.h"
#include "namepipe.h"
#include "protocol/contract.h"
#include "protocol/privatefolder.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

void answer(const char*, int, std::string& reply, void*)
{
    reply = "OK";
}

int g_ok = 0;
void count(const char* data, int len, std::string&, void*)
{
    g_ok += data && len == 2;
}

} // namespace

int main(int argc, char** argv)
{
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 10000;
    const std::string name = "bench_pipe_" + std::to_string(getpid());
    auto* server = new ServicePipe(name.c_str(), 4096);
    server->m_pFunc = &answer;

    // The report the repair executable sends most often.
    const char* report = "mfix 1234 10000 repairing";
    // The standard-error line of each exchange would dominate the figure.
    std::FILE* quiet = std::freopen("/dev/null", "w", stderr);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < exchanges; ++i) {
        ClientPipe client(name.c_str(), 4096);
        client.m_pFunc = &count;
        client.send_msg(report, true);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    (void)quiet;
    delete server;
    // The lock file outlives its server on purpose; this one is ours alone.
    unlink((protocol::temp_path(name.c_str()) + ".lock").c_str());

    std::printf("pipe exchanges: %d in %.3f s, %d answered\n", exchanges, seconds, g_ok);
    std::printf("exchanges per second: %.0f\n", exchanges / seconds);
    char value[32];
    std::snprintf(value, sizeof value, "%.0f /s", exchanges / seconds);
    figure("pipe exchanges (connect, message, reply, disconnect)", value, ">= 10000 /s", "");
    return g_ok == exchanges ? 0 : 1;
}
