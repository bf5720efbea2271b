#include "slices.h"

#include "bitreader.h"

#include <algorithm>
#include <vector>

namespace vidmend {

namespace {

// Enough for every field up to the picture order count; the marking may
// need more after long reference list changes and weight tables.
constexpr size_t k_short_header = 64;
constexpr size_t k_long_header = 1024;

int ceil_log2(uint32_t v)
{
    int bits = 0;
    while ((uint64_t(1) << bits) < v)
        ++bits;
    return bits;
}

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

// Counts are kept wide so that garbage parameters cannot overflow them.
int32_t clamp_poc(int64_t v)
{
    return int32_t(std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, v)));
}

} // namespace

bool parse_h264_slice(const uint8_t* nal, size_t size, const ParamSets& sets, bool through_marking, SliceHeader& out)
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
    const H264Pps* pps = sets.h264_pps(out.pps_id);
    const H264Sps* sps = pps ? sets.h264_sps(pps->sps_id) : nullptr;
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

bool parse_hevc_slice(const uint8_t* nal, size_t size, const ParamSets& sets, SliceHeader& out)
{
    if (size < 3)
        return false;
    out = SliceHeader{};
    out.nal_type = (nal[0] >> 1) & 0x3f;
    out.temporal_id = (nal[1] & 7) - 1;
    thread_local std::vector<uint8_t> rbsp;
    unescape_rbsp(nal + 2, size - 2, k_short_header, rbsp);
    BitReader br(rbsp.data(), rbsp.size());
    out.first_in_pic = br.flag();
    if (out.nal_type >= 16 && out.nal_type <= 23)
        br.skip(1); // no_output_of_prior_pics
    out.pps_id = br.ue();
    const HevcPps* pps = out.pps_id <= 63 ? sets.hevc_pps(out.pps_id) : nullptr;
    const HevcSps* sps = pps ? sets.hevc_sps(pps->sps_id) : nullptr;
    if (!sps || out.temporal_id >= sps->max_sub_layers)
        return false;
    if (!out.first_in_pic) {
        if (pps->dependent_slice_segments_enabled)
            out.dependent = br.flag();
        out.address = br.u(ceil_log2(sps->pic_size_in_ctbs));
        if (out.address == 0 || out.address >= sps->pic_size_in_ctbs)
            return false;
    }
    if (!out.dependent) {
        br.skip(pps->num_extra_slice_header_bits);
        out.slice_type = br.ue();
        // Random access points hold intra slices only.
        if (out.slice_type > 2 || (out.nal_type >= 16 && out.nal_type <= 23 && out.slice_type != 2))
            return false;
        if (pps->output_flag_present)
            br.skip(1);
        if (sps->separate_colour_plane)
            br.skip(2);
        if (out.nal_type != 19 && out.nal_type != 20)
            out.poc_lsb = br.u(sps->log2_max_poc_lsb);
    }
    return br.ok();
}

bool same_picture(const SliceHeader& first, const SliceHeader& previous, const SliceHeader& next, VideoCodec codec)
{
    if (next.pps_id != first.pps_id || next.nal_type != first.nal_type)
        return false;
    if (codec == VideoCodec::Hevc)
        return next.address > previous.address && (next.dependent || next.poc_lsb == first.poc_lsb);
    const bool same = next.reference == first.reference && next.frame_num == first.frame_num &&
                      next.field_pic == first.field_pic && next.bottom_field == first.bottom_field &&
                      next.idr_pic_id == first.idr_pic_id && next.poc_lsb == first.poc_lsb &&
                      next.delta_poc_bottom == first.delta_poc_bottom && next.delta_poc[0] == first.delta_poc[0] &&
                      next.delta_poc[1] == first.delta_poc[1];
    // A redundant coded picture repeats macroblocks the primary one already had.
    return same && (next.address > previous.address || next.redundant_pic_cnt > 0);
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

PictureOrder HevcPoc::next(const SliceHeader& s, const HevcSps& sps)
{
    const int type = s.nal_type;
    const bool irap = type >= 16 && type <= 23;
    const bool idr = type == 19 || type == 20;
    const bool fresh = irap && (idr || type < 19 || m_first);
    PictureOrder order;
    int64_t msb = 0;
    if (!fresh) {
        const int64_t max_lsb = int64_t(1) << sps.log2_max_poc_lsb;
        msb = m_prev_msb;
        if (s.poc_lsb < m_prev_lsb && m_prev_lsb - s.poc_lsb >= max_lsb / 2)
            msb += max_lsb;
        else if (s.poc_lsb > m_prev_lsb && s.poc_lsb - m_prev_lsb > max_lsb / 2)
            msb -= max_lsb;
    }
    order.poc = idr ? 0 : clamp_poc(msb + s.poc_lsb);
    order.period_start = fresh;
    m_first = false;
    // Leading pictures and sub-layer non-reference pictures do not anchor the next count.
    const bool sub_layer_non_ref = type <= 14 && type % 2 == 0;
    if (s.temporal_id == 0 && !(type >= 6 && type <= 9) && !sub_layer_non_ref) {
        m_prev_msb = idr ? 0 : msb;
        m_prev_lsb = idr ? 0 : s.poc_lsb;
    }
    return order;
}

} // namespace vidmend
