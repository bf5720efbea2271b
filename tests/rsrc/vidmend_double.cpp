// Stands in for the repair engine: reads the job file and notes its output in
// <temp>/vidmend-double.log. Unless VIDMEND_DOUBLE_QUIET is set (a test then
// plays the engine's part over the pipe itself), it sends a paced run from 0
// to 100 over the pipe for a demonstration, and stops on "pro_end".

#include "namepipe.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// False once the window asked to stop.
bool report(const std::string& text)
{
    std::string reply;
    // The window may be between two servers: try again for a while.
    for (int tries = 0; tries < 100 && (reply.empty() || reply.rfind("Error:", 0) == 0); ++tries, usleep(20000)) {
        ClientPipe pipe("tarvo_mfix", 4096);
        pipe.m_pUser = &reply;
        pipe.m_pFunc = [](const char* data, int len, std::string& r, void* user) {
            *static_cast<std::string*>(user) = data ? std::string(data, len) : r;
        };
        pipe.send_msg(text.c_str(), true);
    }
    return reply != "pro_end";
}

} // namespace

int main()
{
    const char* env = std::getenv("TMPDIR");
    const std::string tmp = (env && *env) ? env : "/tmp";
    char line[8192] = {};
    std::FILE* job = std::fopen((tmp + "/mp4.rp").c_str(), "r");
    for (int i = 0; job && i < 4 && std::fgets(line, sizeof(line), job); ++i) // the output is the fourth line
        ;
    if (std::FILE* log = std::fopen((tmp + "/vidmend-double.log").c_str(), "a")) {
        std::fprintf(log, "job: %s", line);
        std::fclose(log);
    }
    for (int pro = 0; !std::getenv("VIDMEND_DOUBLE_QUIET") && pro <= 100; pro += 4, usleep(150000))
        if (!report("mfix " + std::to_string(pro) + (pro < 100 ? " 100 repairing" : " 100 done")))
            break;
    return 0;
}
