// Stands in for the repair executable: reads the job file, sends progress
// reports over the pipe and stops on "pro_end". The reports come one line at a
// time from the file named by VIDMEND_DOUBLE_SCRIPT (a test's FIFO), else a
// steady run from 0 to 100 paces itself for a demonstration. Every report and
// its reply go to <temp>/vidmend-double.log.

#include "namepipe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string g_reply;
std::FILE* g_log = nullptr;

void take(const char* data, int len, std::string& reply, void*)
{
    g_reply = data ? std::string(data, len) : reply;
}

// False once the window asked to stop.
bool report(const std::string& text)
{
    // The window may be between two servers: try again for a while.
    for (int tries = 0; tries < 100; ++tries) {
        ClientPipe pipe("tarvo_mfix", 4096);
        pipe.m_pFunc = &take;
        g_reply.clear();
        pipe.send_msg(text.c_str(), true);
        if (!g_reply.empty() && g_reply.rfind("Error:", 0) != 0)
            break;
        usleep(20000);
    }
    std::fprintf(g_log, "%s -> %s\n", text.c_str(), g_reply.c_str());
    std::fflush(g_log);
    return g_reply != "pro_end";
}

} // namespace

int main()
{
    const char* env = std::getenv("TMPDIR");
    const std::string tmp = (env && *env) ? env : "/tmp";
    g_log = std::fopen((tmp + "/vidmend-double.log").c_str(), "a");
    if (!g_log)
        return 1;

    char lines[4][4096] = {};
    if (std::FILE* job = std::fopen((tmp + "/mp4.rp").c_str(), "r")) {
        for (auto& line : lines)
            if (std::fgets(line, sizeof(line), job))
                line[std::strcspn(line, "\n")] = '\0';
        std::fclose(job);
    }
    std::fprintf(g_log, "job: %s\n", lines[3]);
    std::fflush(g_log);

    if (const char* script = std::getenv("VIDMEND_DOUBLE_SCRIPT")) {
        std::FILE* in = std::fopen(script, "r");
        char line[8192];
        while (in && std::fgets(line, sizeof(line), in)) {
            line[std::strcspn(line, "\n")] = '\0';
            if (!report(line))
                break;
        }
    } else {
        bool going = true;
        for (int pro = 0; going && pro < 100; pro += 4) {
            going = report("mfix " + std::to_string(pro) + " 100 repairing");
            usleep(150000);
        }
        if (going)
            report("mfix 100 100 done");
    }
    std::fprintf(g_log, "exit\n");
    return 0;
}
