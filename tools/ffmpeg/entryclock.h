#pragma once

#include <optional>
#include <vector>

namespace ffexe {

// Where each entry begins in the publisher's time, and which one goes out at
// a given time. An entry's length is known once its reader has ended; a
// left-out entry has none and is never on.
class EntryClock
{
public:
    // Entry `entry` (the next one) has been read whole: `length_us` long, or left out.
    void read(long long length_us, bool left_out);
    // The entry newly on at publisher time `out_us`, if one is.
    std::optional<long long> reached(long long out_us);
    // The time `out_us` counted from the start of the entry on.
    long long within(long long out_us) const;
    long long on() const { return m_on; }
    // No entry follows the last one read.
    void end();
    // Where the entry after the last one read begins.
    long long next_start() const;

private:
    struct Entry
    {
        long long start_us;
        bool left_out;
    };
    std::vector<Entry> m_entries{{0, false}}; // the first begins at once
    long long m_on = -1;
};

} // namespace ffexe
