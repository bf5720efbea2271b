#include "retrydelay.h"

int RetryDelay::next_ms()
{
    if (m_waits.empty())
        return 0;
    const int wait = m_waits[m_next];
    if (m_next + 1 < m_waits.size())
        ++m_next;
    return wait;
}
