#include "repairreport.h"

#include <cstdio>

RepairReport parse_repair_report(const char* data, int len)
{
    // A private terminated copy, and a buffer that bounds every word.
    const std::string text(data ? data : "", data && len > 0 ? static_cast<std::size_t>(len) : 0);
    char word[64] = {};
    char state[64] = {};
    RepairReport report;
    std::sscanf(text.c_str(), "%63s %d %d %63s", word, &report.pro, &report.total, state);
    report.state = state;
    return report;
}
