#pragma once

#include "paramsets.h"

#include <cstddef>
#include <cstdint>

namespace vidmend {

// The part of a slice header that tells which picture a slice belongs to and
// where that picture stands in display order.
struct SliceHeader
{
    int nal_type = 0;
    bool reference = true; // H.264 nal_ref_idc != 0
    int temporal_id = 0;   // HEVC
    bool first_in_pic = false;
    uint32_t address = 0; // first_mb_in_slice / slice_segment_address
    bool dependent = false;
    int slice_type = 0;
    int pps_id = 0;
    int frame_num = 0;
    bool field_pic = false;
    bool bottom_field = false;
    int idr_pic_id = 0;
    int poc_lsb = 0;
    int delta_poc_bottom = 0;
    int delta_poc[2] = {0, 0};
    int redundant_pic_cnt = 0;
    bool mmco5 = false;
};

// H.264: with `through_marking` the header is read up to the reference
// picture marking, which a memory_management_control_operation 5 needs.
bool parse_h264_slice(const uint8_t* nal, size_t size, const ParamSets& sets, bool through_marking, SliceHeader& out);
bool parse_hevc_slice(const uint8_t* nal, size_t size, const ParamSets& sets, SliceHeader& out);

// True if `next` (not the first slice) can belong to the picture begun by `first`.
bool same_picture(const SliceHeader& first, const SliceHeader& previous, const SliceHeader& next, VideoCodec codec);

struct PictureOrder
{
    int32_t poc = 0;
    bool period_start = false; // order counts start again: every earlier picture is shown before this one
};

// Picture order counts for H.264 (types 0, 1 and 2).
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

// Picture order counts for HEVC.
class HevcPoc
{
public:
    PictureOrder next(const SliceHeader& slice, const HevcSps& sps);
    // An end of sequence NAL unit: the next random access point starts afresh.
    void end_of_sequence() { m_first = true; }

private:
    int64_t m_prev_msb = 0;
    int64_t m_prev_lsb = 0;
    bool m_first = true;
};

} // namespace vidmend
