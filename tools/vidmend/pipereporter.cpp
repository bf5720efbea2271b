#include "pipereporter.h"

#include "protocol/repair.h"

#include <string>

namespace vidmend {

bool PipeReporter::report(int progress, int total, const std::string& state)
{
    std::string reply;
    protocol::send_repair_report(progress, total, state, reply);
    return !protocol::reply_ends_job(reply);
}

} // namespace vidmend
