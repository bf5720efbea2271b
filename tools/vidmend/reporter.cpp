#include "reporter.h"

#include <cstdio>

namespace vidmend {

bool ProgressGate::due(int progress, int total, const std::string& state, Clock::time_point now)
{
    const bool pass =
        !m_any || state != m_state || progress >= total || (progress != m_progress && now - m_last >= m_interval);
    if (pass) {
        m_any = true;
        m_progress = progress;
        m_state = state;
        m_last = now;
    }
    return pass;
}

bool ConsoleReporter::report(int progress, int total, const std::string& state)
{
    const int percent = total > 0 ? int(int64_t(progress) * 100 / total) : 100;
    std::printf("%3d%% %s\n", percent, state.c_str());
    std::fflush(stdout);
    return true;
}

} // namespace vidmend
