#pragma once

#include "isobmff.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vidmend {

using isobmff::be16;
using isobmff::be32;
using isobmff::be64;

// Big-endian length prefix of 1, 2, 3 or 4 bytes.
inline uint32_t be_n(const uint8_t* p, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | p[i];
    return v;
}

// Copies at most `limit` payload bytes of a NAL unit with the emulation
// prevention bytes (00 00 03) taken out, which is what the bit syntax reads.
void unescape_rbsp(const uint8_t* data, size_t size, size_t limit, std::vector<uint8_t>& out);

// Reads the bit syntax of parameter sets and slice headers. Reading past the
// end yields zeros and marks the reader as overrun instead of failing, so a
// parser checks ok() once at the end.
class BitReader
{
public:
    BitReader(const uint8_t* data, size_t size)
        : m_data(data)
        , m_bits(size * 8)
    {}

    uint32_t u(int n)
    {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v = v << 1 | bit();
        return v;
    }
    bool flag() { return bit() != 0; }
    void skip(size_t n)
    {
        m_pos += n;
        if (m_pos > m_bits)
            m_over = true;
    }

    // Exp-Golomb; codes longer than 32 bits only occur in garbage.
    uint32_t ue()
    {
        int zeros = 0;
        while (bit() == 0) {
            if (++zeros > 31 || m_over) {
                m_over = true;
                return 0;
            }
        }
        return (uint32_t(1) << zeros) - 1 + u(zeros);
    }
    int32_t se()
    {
        const uint32_t k = ue();
        return (k & 1) ? int32_t((k + 1) / 2) : -int32_t(k / 2);
    }

    bool ok() const { return !m_over; }
    size_t bits_left() const { return m_pos >= m_bits ? 0 : m_bits - m_pos; }

private:
    uint32_t bit()
    {
        if (m_pos >= m_bits) {
            m_over = true;
            return 0;
        }
        const uint32_t b = (m_data[m_pos >> 3] >> (7 - (m_pos & 7))) & 1;
        ++m_pos;
        return b;
    }

    const uint8_t* m_data;
    size_t m_bits;
    size_t m_pos = 0;
    bool m_over = false;
};

} // namespace vidmend
