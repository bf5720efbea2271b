#include "entryclock.h"

#include <algorithm>

namespace ffexe {

void EntryClock::read(long long length_us, bool left_out)
{
    Entry& last = m_entries.back();
    last.left_out = left_out;
    m_entries.push_back({last.start_us + (left_out ? 0 : std::max(length_us, 0LL)), false});
}

void EntryClock::end()
{
    if (m_entries.size() > 1 && m_on < static_cast<long long>(m_entries.size()) - 1)
        m_entries.pop_back();
}

long long EntryClock::next_start() const
{
    return m_entries.back().start_us;
}

std::optional<long long> EntryClock::reached(long long out_us)
{
    std::optional<long long> now_on;
    while (m_on + 1 < static_cast<long long>(m_entries.size()) && m_entries[size_t(m_on + 1)].start_us <= out_us) {
        ++m_on;
        if (!m_entries[size_t(m_on)].left_out)
            now_on = m_on;
    }
    return now_on;
}

long long EntryClock::within(long long out_us) const
{
    const long long start = m_on >= 0 ? m_entries[size_t(m_on)].start_us : 0;
    return std::max(out_us - start, 0LL);
}

} // namespace ffexe
