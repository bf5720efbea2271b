// The repair engine's reading of its job file: any bytes as the file's text.

#include "protocol/repair.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    protocol::RepairJob job;
    std::string error;
    if (!protocol::read_job(std::string(reinterpret_cast<const char*>(data), size), job, error))
        return 0;
    for (const std::string* path : {&job.reference, &job.damaged, &job.output}) {
        if (path->empty() || path->find('\n') != std::string::npos)
            __builtin_trap();
    }
    if (job.fps < 0 || job.fps > 999)
        __builtin_trap();
    return 0;
}
