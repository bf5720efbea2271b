// The repair window's reading of the engine's reports: any bytes from the pipe.

#include "protocol/repair.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const protocol::RepairReport report = protocol::read_repair_report(reinterpret_cast<const char*>(data), int(size));
    // The state is one word that fits its buffer.
    if (report.state.size() > 63 || report.state.find_first_of(" \t\n\v\f\r") != std::string::npos)
        __builtin_trap();
    return 0;
}
