#pragma once

#include <cstdio>

// One line per headline figure, which bench/run.sh gathers into its table:
// "figure: NAME | VALUE | TARGET | DETAIL".
inline void figure(const char* name, const char* value, const char* target, const char* detail = "")
{
    std::printf("figure: %s | %s | %s | %s\n", name, value, target, detail);
    std::fflush(stdout);
}
