#include "pipereporter.h"

#include "namepipe.h"
#include "protocol/contract.h"
#include "protocol/repair.h"

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
    const std::string message = protocol::write_repair_report(progress, total, state);
    std::string reply;
    // The window drops a client after each reply, so every report has its own connection.
    ClientPipe pipe(protocol::pipe_name, protocol::pipe_buffer);
    pipe.m_pFunc = &take_reply;
    pipe.m_pUser = &reply;
    pipe.send_msg(message.c_str(), true);
    return !protocol::reply_ends_job(reply);
}

} // namespace vidmend
