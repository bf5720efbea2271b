#pragma once

#include <string>

// One progress report of the repair engine, "WORD PROGRESS TOTAL STATE".
// Words stop at 63 bytes; a field the text does not reach stays 0 or empty.
struct RepairReport
{
    int pro = 0;
    int total = 0;
    std::string state;
};

// Any local program may write to the window's pipe: `data` need not be
// terminated and may be null.
RepairReport parse_repair_report(const char* data, int len);
