#include "pipereporter.h"

#include "namepipe.h"
#include "platform/contract.h"

#include <cstdio>
#include <string>

namespace vidmend {

namespace {

void take_reply(const char* data, int len, std::string& /*reply*/, void* user)
{
    if (data && len > 0)
        static_cast<std::string*>(user)->assign(data, size_t(len));
}

} // namespace

bool PipeReporter::report(int progress, int total, const std::string& state)
{
    char message[160];
    std::snprintf(message, sizeof message, "vidmend %d %d %.63s", progress, total, state.c_str());
    std::string reply;
    // The window drops a client after each reply, so every report has its own connection.
    ClientPipe pipe(contract::pipe_name, contract::pipe_buffer);
    pipe.m_pFunc = &take_reply;
    pipe.m_pUser = &reply;
    pipe.send_msg(message, true);
    return reply.compare(0, 7, "pro_end") != 0;
}

} // namespace vidmend
