#pragma once

#include "videosyntax.h"

namespace vidmend {

// What the slice header parser and the picture order count need from a
// sequence parameter set.
struct H264Sps
{
    int id = 0;
    int chroma_array_type = 1;
    bool separate_colour_plane = false;
    int log2_max_frame_num = 4;
    int poc_type = 0;
    int log2_max_poc_lsb = 4;
    bool delta_pic_order_always_zero = false;
    int offset_for_non_ref_pic = 0;
    int offset_for_top_to_bottom_field = 0;
    std::vector<int> offset_for_ref_frame;
    bool frame_mbs_only = true;
    uint32_t pic_size_in_mbs = 0; // of a frame
};

struct H264Pps
{
    int id = 0;
    int sps_id = 0;
    bool bottom_field_pic_order_in_frame_present = false;
    int num_ref_idx_l0_default = 1;
    int num_ref_idx_l1_default = 1;
    bool weighted_pred = false;
    int weighted_bipred_idc = 0;
    bool redundant_pic_cnt_present = false;
};

// Each parser takes a whole NAL unit (header included) and fails on
// anything out of range, so that garbage is not taken for a parameter set.
std::optional<H264Sps> parse_h264_sps(const uint8_t* nal, size_t size);
std::optional<H264Pps> parse_h264_pps(const uint8_t* nal, size_t size);

class H264ParamSets : public ParamSetTables<H264ParamSets, H264Sps, H264Pps, 32, 256>
{
public:
    bool add(const uint8_t* nal, size_t size) override;
};

// The avcC decoder configuration record.
std::optional<DecoderConfig> parse_avcc(const uint8_t* data, size_t size);

// With `through_marking` the header is read up to the reference picture
// marking, which a memory_management_control_operation 5 needs.
bool parse_h264_slice(const uint8_t* nal, size_t size, const H264ParamSets& sets, bool through_marking,
                      SliceHeader& out);

// Picture order counts (8.2.1, types 0, 1 and 2).
class H264Poc
{
public:
    PictureOrder next(const SliceHeader& slice, const H264Sps& sps);

private:
    int64_t m_prev_msb = 0;
    int64_t m_prev_lsb = 0;
    int64_t m_prev_frame_num_offset = 0;
    int64_t m_prev_frame_num = 0;
};

} // namespace vidmend
