#include "paramsets.h"

#include "bitreader.h"

#include <algorithm>

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

bool ParamSets::add(const uint8_t* nal, size_t size)
{
    if (size < 2)
        return false;
    if (m_codec == VideoCodec::H264) {
        const int type = nal[0] & 0x1f;
        if (type == 7) {
            auto sps = parse_h264_sps(nal, size);
            if (!sps)
                return false;
            const int id = sps->id;
            m_h264_sps[id] = std::move(sps);
            return true;
        }
        if (type == 8) {
            auto pps = parse_h264_pps(nal, size);
            if (!pps)
                return false;
            m_h264_pps[pps->id] = pps;
            return true;
        }
        return false;
    }
    const int type = (nal[0] >> 1) & 0x3f;
    if (type == 33) {
        auto sps = parse_hevc_sps(nal, size);
        if (!sps)
            return false;
        m_hevc_sps[sps->id] = sps;
        return true;
    }
    if (type == 34) {
        auto pps = parse_hevc_pps(nal, size);
        if (!pps)
            return false;
        m_hevc_pps[pps->id] = pps;
        return true;
    }
    return false;
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
