#include "paramsets.h"

#include "bitreader.h"

namespace vidmend {

void unescape_rbsp(const uint8_t* data, size_t size, size_t limit, std::vector<uint8_t>& out)
{
    out.clear();
    const size_t n = size < limit ? size : limit;
    out.reserve(n);
    int zeros = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = data[i];
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
}

bool read_nal_units(const uint8_t* data, size_t size, size_t& pos, size_t count, DecoderConfig& config)
{
    for (size_t i = 0; i < count; ++i) {
        if (pos + 2 > size)
            return false;
        const size_t len = be16(data + pos);
        pos += 2;
        if (len == 0 || pos + len > size)
            return false;
        config.nals.emplace_back(data + pos, data + pos + len);
        pos += len;
    }
    return true;
}

} // namespace vidmend
