#include "videoscanner.h"

#include "bitreader.h"

#include <vector>

namespace vidmend {

namespace {

// Checks the message chain of an SEI payload (the bytes after the NAL header):
// type and size codes, payloads that fit, and the stop bit at the very end.
bool valid_sei(const uint8_t* payload, size_t size)
{
    if (size > 65536)
        return true; // not worth reading through
    thread_local std::vector<uint8_t> rbsp;
    unescape_rbsp(payload, size, size, rbsp);
    size_t pos = 0;
    const size_t n = rbsp.size();
    do {
        for (int field = 0; field < 2; ++field) {
            uint32_t value = 0;
            while (pos < n && rbsp[pos] == 0xff)
                value += 255, ++pos;
            if (pos >= n)
                return false;
            value += rbsp[pos++];
            if (field == 1) {
                if (value > n - pos)
                    return false;
                pos += value;
            }
        }
    } while (pos + 1 < n);
    return pos + 1 == n && rbsp[pos] == 0x80;
}

bool valid_filler(const uint8_t* payload, size_t size)
{
    if (size == 0 || payload[size - 1] != 0x80)
        return false;
    for (size_t i = 0; i + 1 < size; ++i)
        if (payload[i] != 0xff)
            return false;
    return true;
}

} // namespace

VideoScanner::VideoScanner(const DecoderConfig& config, uint32_t max_sample, uint32_t usual_sample)
    : m_codec(config.codec)
    , m_nls(config.nal_length_size)
    , m_max(max_sample)
    , m_usual(usual_sample)
    , m_sets(config.codec)
    , m_trial(config.codec)
{
    for (const auto& nal : config.nals)
        m_sets.add(nal.data(), nal.size());
}

VideoScanner::Role VideoScanner::role(const uint8_t* nal, uint32_t size, bool whole) const
{
    // A NAL unit ends with its stop bit, or with an appended 0x03 after
    // trailing zero words: never with a zero byte. Zeros that run on past a
    // cut-off picture (a preallocated file) are no part of it.
    if (whole && nal[size - 1] == 0)
        return Role::Invalid;
    if (m_codec == VideoCodec::H264) {
        if (nal[0] & 0x80)
            return Role::Invalid;
        const int type = nal[0] & 0x1f;
        const bool ref = (nal[0] & 0x60) != 0;
        switch (type) {
        case 1:
            return Role::Slice;
        case 5:
            return ref ? Role::Slice : Role::Invalid;
        case 6:
            return !ref && valid_sei(nal + 1, size - 1) ? Role::Start : Role::Invalid;
        case 7:
        case 8:
            return ref ? Role::ParamSet : Role::Invalid;
        case 9:
            return !ref && size == 2 && (nal[1] & 0x1f) == 0x10 ? Role::Start : Role::Invalid;
        case 10:
        case 11:
            return !ref && size == 1 ? Role::Trailer : Role::Invalid;
        case 12:
            return !ref && valid_filler(nal + 1, size - 1) ? Role::Trailer : Role::Invalid;
        default:
            return Role::Invalid;
        }
    }
    if (size < 2 || (nal[0] & 0x81) || (nal[1] & 0xf8) || !(nal[1] & 7))
        return Role::Invalid;
    const int type = nal[0] >> 1;
    const int tid = (nal[1] & 7) - 1;
    if (type <= 9)
        return Role::Slice;
    if (type >= 16 && type <= 21)
        return tid == 0 ? Role::Slice : Role::Invalid;
    switch (type) {
    case 32:
    case 33:
        return tid == 0 ? Role::ParamSet : Role::Invalid;
    case 34:
        return Role::ParamSet;
    case 35:
        return size == 3 && (nal[2] & 0x1f) == 0x10 ? Role::Start : Role::Invalid;
    case 36:
    case 37:
        return tid == 0 && size == 2 ? Role::Trailer : Role::Invalid;
    case 38:
        return valid_filler(nal + 2, size - 2) ? Role::Trailer : Role::Invalid;
    case 39:
        return valid_sei(nal + 2, size - 2) ? Role::Start : Role::Invalid;
    case 40:
        return valid_sei(nal + 2, size - 2) ? Role::Trailer : Role::Invalid;
    default:
        return Role::Invalid;
    }
}

bool VideoScanner::parse_slice(const uint8_t* nal, uint32_t size, const ParamSets& sets, bool full,
                               SliceHeader& out) const
{
    if (m_codec == VideoCodec::H264) {
        if (!parse_h264_slice(nal, size, sets, full, out))
            return false;
        out.first_in_pic = out.address == 0 && out.redundant_pic_cnt == 0;
        return true;
    }
    return parse_hevc_slice(nal, size, sets, out);
}

bool VideoScanner::probe(const uint8_t* p, uint64_t avail, VideoCandidate& c)
{
    c = VideoCandidate{};
    const ParamSets* sets = &m_sets;
    uint64_t off = 0;
    SliceHeader prev;
    while (off + m_nls + 2 <= avail) {
        const uint32_t len = be_len(p + off);
        const uint8_t* nal = p + off + m_nls;
        if (len < 1 || len > m_max || off + m_nls + len > m_max)
            break;
        if (len > avail - off - m_nls) {
            // A NAL unit of this sample runs past the end of the data.
            if (off + m_nls + len > m_usual)
                break;
            const uint32_t have = uint32_t(avail - off - m_nls);
            const Role r = role(nal, have, false);
            SliceHeader s;
            if (r == Role::Slice && parse_slice(nal, have, *sets, false, s))
                c.cut = c.slices == 0 ? s.first_in_pic
                                      : !s.first_in_pic &&
                                            same_picture(c.second_field ? *c.second_field : c.first, prev, s, m_codec);
            else if (r != Role::Slice && r != Role::Invalid)
                c.cut = (r == Role::Trailer) == (c.slices > 0);
            break;
        }
        const Role r = role(nal, len);
        if (r == Role::Invalid)
            break;
        if (r == Role::Slice) {
            SliceHeader s;
            if (!parse_slice(nal, len, *sets, false, s))
                break;
            // The reference marking, far into the header, matters for a picture's first slice only.
            const bool marking = m_codec == VideoCodec::H264 && c.slices == 0 && s.reference && s.nal_type != 5;
            if (marking && !parse_slice(nal, len, *sets, true, s))
                break;
            if (c.slices == 0) {
                if (!s.first_in_pic)
                    return false;
                c.first = s;
            } else if (s.first_in_pic) {
                // The second field of a field pair travels in the same sample.
                const SliceHeader& f = c.first;
                const bool second_field = m_codec == VideoCodec::H264 && !c.second_field && f.field_pic &&
                                          s.field_pic && s.bottom_field != f.bottom_field &&
                                          s.frame_num == f.frame_num && !c.trailer;
                if (!second_field || !parse_slice(nal, len, *sets, true, s))
                    break;
                c.second_field = s;
            } else if (!same_picture(c.second_field ? *c.second_field : c.first, prev, s, m_codec)) {
                break;
            }
            prev = s;
            ++c.slices;
        } else if (r == Role::Trailer) {
            if (c.slices == 0)
                return false;
            c.trailer = true;
            if (m_codec == VideoCodec::Hevc && (nal[0] >> 1) == 36)
                c.end_of_sequence = true;
        } else {
            if (c.slices > 0)
                break; // the next access unit begins
            if (r == Role::ParamSet) {
                if (sets != &m_trial) {
                    m_trial = m_sets;
                    sets = &m_trial;
                }
                if (!m_trial.add(nal, len) && (m_codec == VideoCodec::H264 || (nal[0] >> 1) != 32))
                    return false;
                c.param_sets.emplace_back(uint32_t(off + m_nls), len);
            }
        }
        off += m_nls + len;
    }
    if (c.slices == 0)
        return false;
    c.size = uint32_t(off);
    c.key = m_codec == VideoCodec::H264 ? c.first.nal_type == 5 : (c.first.nal_type >= 16 && c.first.nal_type <= 23);
    return true;
}

PictureOrder VideoScanner::accept(const uint8_t* p, const VideoCandidate& c)
{
    for (const auto& [offset, size] : c.param_sets)
        m_sets.add(p + offset, size);
    PictureOrder order;
    if (m_codec == VideoCodec::H264) {
        const H264Pps* pps = m_sets.h264_pps(c.first.pps_id);
        const H264Sps* sps = pps ? m_sets.h264_sps(pps->sps_id) : nullptr;
        if (!sps)
            return order;
        order = m_h264_poc.next(c.first, *sps);
        if (c.second_field)
            order.poc = std::min(order.poc, m_h264_poc.next(*c.second_field, *sps).poc);
        return order;
    }
    const HevcPps* pps = m_sets.hevc_pps(c.first.pps_id);
    const HevcSps* sps = pps ? m_sets.hevc_sps(pps->sps_id) : nullptr;
    if (!sps)
        return order;
    order = m_hevc_poc.next(c.first, *sps);
    if (c.end_of_sequence)
        m_hevc_poc.end_of_sequence();
    return order;
}

} // namespace vidmend
