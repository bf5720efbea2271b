// H.264 (ISO/IEC 14496-10): parameter sets, slice headers, picture order
// counts and which NAL units may make up an access unit in an MP4 sample.
#include "h264.h"

#include "bitreader.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace vidmend {

namespace {

// Parameter sets are small; anything past this is not needed.
constexpr size_t k_param_limit = 4096;

void skip_h264_scaling_list(BitReader& br, int size)
{
    int last = 8, next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0) {
            next = (last + br.se() + 256) % 256;
            if (!br.ok())
                return;
        }
        last = next == 0 ? last : next;
    }
}

bool is_high_profile(int profile)
{
    switch (profile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
        return true;
    default:
        return false;
    }
}

// Enough for every field up to the picture order count; the marking may
// need more after long reference list changes and weight tables.
constexpr size_t k_short_header = 64;
constexpr size_t k_long_header = 1024;

bool skip_list_modification(BitReader& br)
{
    if (!br.flag())
        return true;
    for (int i = 0; i < 100 && br.ok(); ++i) {
        const uint32_t idc = br.ue();
        if (idc == 3)
            return true;
        if (idc > 5)
            return false;
        br.ue();
    }
    return false;
}

void skip_weight_table(BitReader& br, int chroma_array_type, int count)
{
    for (int i = 0; i < count && br.ok(); ++i) {
        if (br.flag()) {
            br.se();
            br.se();
        }
        if (chroma_array_type != 0 && br.flag()) {
            for (int j = 0; j < 4; ++j)
                br.se();
        }
    }
}

} // namespace

std::optional<H264Sps> parse_h264_sps(const uint8_t* nal, size_t size)
{
    if (size < 4 || (nal[0] & 0x1f) != 7)
        return std::nullopt;
    std::vector<uint8_t> rbsp;
    unescape_rbsp(nal + 1, size - 1, k_param_limit, rbsp);
    BitReader br(rbsp.data(), rbsp.size());
    H264Sps sps;
    const int profile = br.u(8);
    br.skip(16); // constraint flags, level
    sps.id = br.ue();
    if (sps.id > 31)
        return std::nullopt;
    int chroma_format_idc = 1;
    if (is_high_profile(profile)) {
        chroma_format_idc = br.ue();
        if (chroma_format_idc > 3)
            return std::nullopt;
        if (chroma_format_idc == 3)
            sps.separate_colour_plane = br.flag();
        if (br.ue() > 6 || br.ue() > 6) // bit depths
            return std::nullopt;
        br.skip(1);
        if (br.flag()) {
            for (int i = 0; i < (chroma_format_idc != 3 ? 8 : 12) && br.ok(); ++i)
                if (br.flag())
                    skip_h264_scaling_list(br, i < 6 ? 16 : 64);
        }
    }
    sps.chroma_array_type = sps.separate_colour_plane ? 0 : chroma_format_idc;
    const uint32_t frame_num_bits = br.ue();
    if (frame_num_bits > 12)
        return std::nullopt;
    sps.log2_max_frame_num = int(frame_num_bits) + 4;
    sps.poc_type = br.ue();
    if (sps.poc_type == 0) {
        const uint32_t lsb_bits = br.ue();
        if (lsb_bits > 12)
            return std::nullopt;
        sps.log2_max_poc_lsb = int(lsb_bits) + 4;
    } else if (sps.poc_type == 1) {
        sps.delta_pic_order_always_zero = br.flag();
        sps.offset_for_non_ref_pic = br.se();
        sps.offset_for_top_to_bottom_field = br.se();
        const uint32_t cycle = br.ue();
        if (cycle > 255)
            return std::nullopt;
        for (uint32_t i = 0; i < cycle && br.ok(); ++i)
            sps.offset_for_ref_frame.push_back(br.se());
        // Encoders use small offsets; huge ones come from garbage.
        constexpr int limit = 1 << 20;
        const auto huge = [](int v) { return v > limit || v < -limit; };
        if (huge(sps.offset_for_non_ref_pic) || huge(sps.offset_for_top_to_bottom_field) ||
            std::any_of(sps.offset_for_ref_frame.begin(), sps.offset_for_ref_frame.end(), huge))
            return std::nullopt;
    } else if (sps.poc_type != 2) {
        return std::nullopt;
    }
    br.ue(); // max_num_ref_frames
    br.skip(1);
    const uint32_t width_mbs = br.ue() + 1;
    const uint32_t height_units = br.ue() + 1;
    sps.frame_mbs_only = br.flag();
    if (width_mbs > 1024 || height_units > 1024 || !br.ok())
        return std::nullopt;
    sps.pic_size_in_mbs = width_mbs * height_units * (sps.frame_mbs_only ? 1 : 2);
    return sps;
}

std::optional<H264Pps> parse_h264_pps(const uint8_t* nal, size_t size)
{
    if (size < 2 || (nal[0] & 0x1f) != 8)
        return std::nullopt;
    std::vector<uint8_t> rbsp;
    unescape_rbsp(nal + 1, size - 1, k_param_limit, rbsp);
    BitReader br(rbsp.data(), rbsp.size());
    H264Pps pps;
    pps.id = br.ue();
    pps.sps_id = br.ue();
    if (pps.id > 255 || pps.sps_id > 31)
        return std::nullopt;
    br.skip(1); // entropy coding mode
    pps.bottom_field_pic_order_in_frame_present = br.flag();
    const uint32_t groups = br.ue() + 1;
    if (groups > 8)
        return std::nullopt;
    if (groups > 1) {
        const uint32_t map_type = br.ue();
        if (map_type == 0) {
            for (uint32_t i = 0; i < groups; ++i)
                br.ue();
        } else if (map_type == 2) {
            for (uint32_t i = 0; i + 1 < groups; ++i) {
                br.ue();
                br.ue();
            }
        } else if (map_type >= 3 && map_type <= 5) {
            br.skip(1);
            br.ue();
        } else if (map_type == 6) {
            const uint32_t units = br.ue() + 1;
            if (units > (1u << 20))
                return std::nullopt;
            br.skip(size_t(units) * ceil_log2(groups));
        } else if (map_type != 1) {
            return std::nullopt;
        }
    }
    pps.num_ref_idx_l0_default = int(br.ue()) + 1;
    pps.num_ref_idx_l1_default = int(br.ue()) + 1;
    if (pps.num_ref_idx_l0_default > 32 || pps.num_ref_idx_l1_default > 32)
        return std::nullopt;
    pps.weighted_pred = br.flag();
    pps.weighted_bipred_idc = br.u(2);
    br.se(); // pic_init_qp
    br.se(); // pic_init_qs
    br.se(); // chroma_qp_index_offset
    br.skip(2);
    pps.redundant_pic_cnt_present = br.flag();
    if (!br.ok() || pps.weighted_bipred_idc > 2)
        return std::nullopt;
    return pps;
}

bool H264ParamSets::add(const uint8_t* nal, size_t size)
{
    if (size < 2)
        return false;
    const int type = nal[0] & 0x1f;
    if (type == 7)
        return keep(m_sps, parse_h264_sps(nal, size));
    if (type == 8)
        return keep(m_pps, parse_h264_pps(nal, size));
    return false;
}

std::optional<DecoderConfig> parse_avcc(const uint8_t* data, size_t size)
{
    if (size < 7 || data[0] != 1)
        return std::nullopt;
    DecoderConfig config;
    config.codec = VideoCodec::H264;
    config.nal_length_size = (data[4] & 3) + 1;
    if (config.nal_length_size == 3)
        return std::nullopt;
    size_t pos = 5;
    for (int list = 0; list < 2; ++list) {
        if (pos >= size)
            return std::nullopt;
        const size_t count = list == 0 ? (data[pos] & 0x1f) : data[pos];
        ++pos;
        if (!read_nal_units(data, size, pos, count, config))
            return std::nullopt;
    }
    return config;
}

bool parse_h264_slice(const uint8_t* nal, size_t size, const H264ParamSets& sets, bool through_marking,
                      SliceHeader& out)
{
    if (size < 2)
        return false;
    out = SliceHeader{};
    out.nal_type = nal[0] & 0x1f;
    out.reference = (nal[0] >> 5) != 0;
    const bool idr = out.nal_type == 5;

    thread_local std::vector<uint8_t> rbsp;
    unescape_rbsp(nal + 1, size - 1, through_marking ? k_long_header : k_short_header, rbsp);
    BitReader br(rbsp.data(), rbsp.size());
    out.address = br.ue();
    out.first_in_pic = out.address == 0;
    out.slice_type = br.ue();
    out.pps_id = br.ue();
    if (out.slice_type > 9 || !br.ok())
        return false;
    const H264Pps* pps = sets.pps(out.pps_id);
    const H264Sps* sps = pps ? sets.sps(pps->sps_id) : nullptr;
    if (!sps || out.address >= sps->pic_size_in_mbs)
        return false;
    // An IDR picture holds I or SI slices only.
    if (idr && out.slice_type % 5 != 2 && out.slice_type % 5 != 4)
        return false;
    if (sps->separate_colour_plane)
        br.skip(2);
    out.frame_num = br.u(sps->log2_max_frame_num);
    if (idr && out.frame_num != 0)
        return false;
    if (!sps->frame_mbs_only) {
        out.field_pic = br.flag();
        if (out.field_pic)
            out.bottom_field = br.flag();
    }
    if (idr) {
        out.idr_pic_id = br.ue();
        if (out.idr_pic_id > 65535)
            return false;
    }
    const bool bottom_present = pps->bottom_field_pic_order_in_frame_present && !out.field_pic;
    if (sps->poc_type == 0) {
        out.poc_lsb = br.u(sps->log2_max_poc_lsb);
        if (bottom_present)
            out.delta_poc_bottom = br.se();
    } else if (sps->poc_type == 1 && !sps->delta_pic_order_always_zero) {
        out.delta_poc[0] = br.se();
        if (bottom_present)
            out.delta_poc[1] = br.se();
    }
    if (pps->redundant_pic_cnt_present) {
        out.redundant_pic_cnt = br.ue();
        if (out.redundant_pic_cnt > 127)
            return false;
    }
    if (!through_marking || !out.reference)
        return br.ok();

    const int type = out.slice_type % 5;
    if (type == 1)
        br.skip(1); // direct_spatial_mv_pred
    int l0 = pps->num_ref_idx_l0_default, l1 = pps->num_ref_idx_l1_default;
    if (type == 0 || type == 1 || type == 3) {
        if (br.flag()) {
            l0 = int(br.ue()) + 1;
            if (type == 1)
                l1 = int(br.ue()) + 1;
        }
    }
    if (l0 > 32 || l1 > 32)
        return false;
    if (type != 2 && type != 4) {
        if (!skip_list_modification(br))
            return false;
        if (type == 1 && !skip_list_modification(br))
            return false;
    }
    if ((pps->weighted_pred && (type == 0 || type == 3)) || (pps->weighted_bipred_idc == 1 && type == 1)) {
        br.ue();
        if (sps->chroma_array_type != 0)
            br.ue();
        skip_weight_table(br, sps->chroma_array_type, l0);
        if (type == 1)
            skip_weight_table(br, sps->chroma_array_type, l1);
    }
    if (idr) {
        br.skip(2);
    } else if (br.flag()) {
        for (int i = 0; i < 100; ++i) {
            const uint32_t op = br.ue();
            if (op == 0 || !br.ok())
                break;
            if (op > 6)
                return false;
            if (op == 5)
                out.mmco5 = true;
            if (op == 1 || op == 3)
                br.ue();
            if (op == 2)
                br.ue();
            if (op == 3 || op == 6)
                br.ue();
            if (op == 4)
                br.ue();
        }
    }
    return br.ok();
}

PictureOrder H264Poc::next(const SliceHeader& s, const H264Sps& sps)
{
    const bool idr = s.nal_type == 5;
    int64_t top = 0, bottom = 0;
    if (sps.poc_type == 0) {
        if (idr) {
            m_prev_msb = 0;
            m_prev_lsb = 0;
        }
        const int64_t max_lsb = int64_t(1) << sps.log2_max_poc_lsb;
        int64_t msb = m_prev_msb;
        if (s.poc_lsb < m_prev_lsb && m_prev_lsb - s.poc_lsb >= max_lsb / 2)
            msb = m_prev_msb + max_lsb;
        else if (s.poc_lsb > m_prev_lsb && s.poc_lsb - m_prev_lsb > max_lsb / 2)
            msb = m_prev_msb - max_lsb;
        if (!s.bottom_field) {
            top = msb + s.poc_lsb;
            bottom = s.field_pic ? top : top + s.delta_poc_bottom;
        } else {
            top = bottom = msb + s.poc_lsb;
        }
        if (s.reference) {
            m_prev_msb = msb;
            m_prev_lsb = s.poc_lsb;
        }
    } else {
        const int64_t max_frame_num = int64_t(1) << sps.log2_max_frame_num;
        int64_t offset = 0;
        if (!idr)
            offset = m_prev_frame_num > s.frame_num ? m_prev_frame_num_offset + max_frame_num : m_prev_frame_num_offset;
        if (sps.poc_type == 1) {
            const int64_t cycle = int64_t(sps.offset_for_ref_frame.size());
            int64_t abs_frame = cycle != 0 ? offset + s.frame_num : 0;
            if (!s.reference && abs_frame > 0)
                --abs_frame;
            int64_t expected = 0;
            if (abs_frame > 0) {
                int64_t per_cycle = 0;
                for (int v : sps.offset_for_ref_frame)
                    per_cycle += v;
                expected = (abs_frame - 1) / cycle * per_cycle;
                for (int64_t i = 0; i <= (abs_frame - 1) % cycle; ++i)
                    expected += sps.offset_for_ref_frame[i];
            }
            if (!s.reference)
                expected += sps.offset_for_non_ref_pic;
            if (!s.field_pic) {
                top = expected + s.delta_poc[0];
                bottom = top + sps.offset_for_top_to_bottom_field + s.delta_poc[1];
            } else {
                top = bottom = s.bottom_field ? expected + sps.offset_for_top_to_bottom_field + s.delta_poc[0]
                                              : expected + s.delta_poc[0];
            }
        } else {
            top = bottom = idr ? 0 : 2 * (offset + s.frame_num) - (s.reference ? 0 : 1);
        }
        m_prev_frame_num_offset = s.mmco5 ? 0 : offset;
        m_prev_frame_num = s.mmco5 ? 0 : s.frame_num;
    }

    PictureOrder order;
    order.poc = clamp_poc(std::min(top, bottom));
    order.period_start = idr || s.mmco5;
    // Type 0 counts from its own low bits, the others from frame_num: type 2
    // two counts a frame, type 1 its cycle's offsets over as many frames.
    const int64_t max_frame_num = int64_t(1) << sps.log2_max_frame_num;
    const int64_t cycle = int64_t(sps.offset_for_ref_frame.size());
    if (sps.poc_type == 0)
        order.wrap = clamp_poc(int64_t(1) << sps.log2_max_poc_lsb);
    else if (sps.poc_type == 2)
        order.wrap = clamp_poc(2 * max_frame_num);
    else if (cycle > 0 && max_frame_num % cycle == 0)
        order.wrap =
            clamp_poc(max_frame_num / cycle *
                      std::accumulate(sps.offset_for_ref_frame.begin(), sps.offset_for_ref_frame.end(), int64_t(0)));
    if (s.mmco5) {
        // The picture's counts are taken back to zero once it is decoded.
        if (sps.poc_type == 0) {
            m_prev_msb = 0;
            m_prev_lsb = s.bottom_field ? 0 : top - std::min(top, bottom);
        }
        order.poc = 0;
    }
    return order;
}

namespace {

class H264Syntax : public VideoSyntax
{
public:
    VideoCodec codec() const override { return VideoCodec::H264; }
    std::unique_ptr<ParamSets> make_param_sets() const override { return std::make_unique<H264ParamSets>(); }
    int nal_type(const uint8_t* nal) const override { return nal[0] & 0x1f; }

    bool could_start(const uint8_t* nal) const override
    {
        if (nal[0] & 0x80)
            return false;
        const int type = nal[0] & 0x1f;
        return (type >= 6 && type <= 9) || ((type == 1 || type == 5) && (nal[1] & 0x80));
    }

    NalRole role(const uint8_t* nal, uint32_t size, bool whole) const override
    {
        // A NAL unit ends with its stop bit, or with an appended 0x03 after
        // trailing zero words: never with a zero byte. Zeros that run on past a
        // cut-off picture (a preallocated file) are no part of it.
        if (whole && nal[size - 1] == 0)
            return NalRole::Invalid;
        if (nal[0] & 0x80)
            return NalRole::Invalid;
        const int type = nal[0] & 0x1f;
        const bool ref = (nal[0] & 0x60) != 0;
        switch (type) {
        case 1:
            return NalRole::Slice;
        case 5:
            return ref ? NalRole::Slice : NalRole::Invalid;
        case 6:
            return !ref && valid_sei(nal + 1, size - 1) ? NalRole::Start : NalRole::Invalid;
        case 7:
        case 8:
            return ref ? NalRole::ParamSet : NalRole::Invalid;
        case 9:
            return !ref && size == 2 && (nal[1] & 0x1f) == 0x10 ? NalRole::Start : NalRole::Invalid;
        case 10:
        case 11:
            return !ref && size == 1 ? NalRole::Trailer : NalRole::Invalid;
        case 12:
            return !ref && valid_filler(nal + 1, size - 1) ? NalRole::Trailer : NalRole::Invalid;
        default:
            return NalRole::Invalid;
        }
    }

    bool parse_slice(const uint8_t* nal, uint32_t size, const ParamSets& sets, bool full,
                     SliceHeader& out) const override
    {
        if (!parse_h264_slice(nal, size, static_cast<const H264ParamSets&>(sets), full, out))
            return false;
        out.first_in_pic = out.address == 0 && out.redundant_pic_cnt == 0;
        return true;
    }

    // The reference marking, far into the header, matters for a picture's first slice only.
    bool needs_full_header(const SliceHeader& first) const override { return first.reference && first.nal_type != 5; }

    // The second field of a field pair travels in the same sample.
    bool second_field(const SliceHeader& f, const SliceHeader& s) const override
    {
        return f.field_pic && s.field_pic && s.bottom_field != f.bottom_field && s.frame_num == f.frame_num;
    }

    bool same_picture(const SliceHeader& first, const SliceHeader& previous, const SliceHeader& next) const override
    {
        if (next.pps_id != first.pps_id || next.nal_type != first.nal_type)
            return false;
        const bool same = next.reference == first.reference && next.frame_num == first.frame_num &&
                          next.field_pic == first.field_pic && next.bottom_field == first.bottom_field &&
                          next.idr_pic_id == first.idr_pic_id && next.poc_lsb == first.poc_lsb &&
                          next.delta_poc_bottom == first.delta_poc_bottom && next.delta_poc[0] == first.delta_poc[0] &&
                          next.delta_poc[1] == first.delta_poc[1];
        // A redundant coded picture repeats macroblocks the primary one already had.
        return same && (next.address > previous.address || next.redundant_pic_cnt > 0);
    }

    bool key(const SliceHeader& first) const override { return first.nal_type == 5; }
    bool optional_param_set(const uint8_t*) const override { return false; }
    bool ends_sequence(const uint8_t*) const override { return false; }
    int slice_kind(const SliceHeader& slice) const override { return slice.slice_type % 5; }

    PictureOrder order(const SliceHeader& first, const SliceHeader* second, const ParamSets& all, bool) override
    {
        const H264ParamSets& sets = static_cast<const H264ParamSets&>(all);
        const H264Pps* pps = sets.pps(first.pps_id);
        const H264Sps* sps = pps ? sets.sps(pps->sps_id) : nullptr;
        if (!sps)
            return {};
        PictureOrder order = m_poc.next(first, *sps);
        if (second)
            order.poc = std::min(order.poc, m_poc.next(*second, *sps).poc);
        return order;
    }

private:
    H264Poc m_poc;
};

} // namespace

std::unique_ptr<VideoSyntax> make_h264_syntax()
{
    return std::make_unique<H264Syntax>();
}

} // namespace vidmend
