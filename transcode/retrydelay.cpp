#include "retrydelay.h"

#include <algorithm>

int RetryDelay::next_ms()
{
    const int wait = m_next;
    m_next = std::min(m_next * 2, longest_ms);
    return wait;
}
