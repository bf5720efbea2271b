// Stands in for the repair engine: reads the job file, sends progress reports
// over the pipe and stops on "pro_end". The reports are the lines of the file
// named by VIDMEND_DOUBLE_SCRIPT (a test's FIFO), else a paced run from 0 to
// 100 for a demonstration. Each report and its reply go to
// <temp>/vidmend-double.log.

#include "namepipe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::FILE* g_log = nullptr;

void take(const char* data, int len, std::string& reply, void* user)
{
    *static_cast<std::string*>(user) = data ? std::string(data, len) : reply;
}

// False once the window asked to stop.
bool report(const std::string& text)
{
    std::string reply;
    // The window may be between two servers: try again for a while.
    for (int tries = 0; tries < 100 && (reply.empty() || reply.rfind("Error:", 0) == 0); ++tries) {
        if (tries > 0)
            usleep(20000);
        ClientPipe pipe("tarvo_mfix", 4096);
        pipe.m_pFunc = &take;
        pipe.m_pUser = &reply;
        pipe.send_msg(text.c_str(), true);
    }
    std::fprintf(g_log, "%s -> %s\n", text.c_str(), reply.c_str());
    std::fflush(g_log);
    return reply != "pro_end";
}

} // namespace

int main()
{
    const char* env = std::getenv("TMPDIR");
    const std::string tmp = (env && *env) ? env : "/tmp";
    g_log = std::fopen((tmp + "/vidmend-double.log").c_str(), "a");
    char line[8192] = {};
    std::FILE* job = std::fopen((tmp + "/mp4.rp").c_str(), "r");
    for (int i = 0; job && i < 4 && std::fgets(line, sizeof(line), job); ++i) // the output is the fourth line
        ;
    std::fprintf(g_log, "job: %s", line);
    std::fflush(g_log);

    if (const char* script = std::getenv("VIDMEND_DOUBLE_SCRIPT")) {
        std::FILE* in = std::fopen(script, "r");
        while (in && std::fgets(line, sizeof(line), in) && report(std::string(line, std::strcspn(line, "\n"))))
            ;
    } else {
        bool going = true;
        for (int pro = 0; going && pro < 100; pro += 4, usleep(150000))
            going = report("mfix " + std::to_string(pro) + " 100 repairing");
        if (going)
            report("mfix 100 100 done");
    }
    std::fprintf(g_log, "exit\n");
    return 0;
}
