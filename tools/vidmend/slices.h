#pragma once

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

struct PictureOrder
{
    int32_t poc = 0;
    bool period_start = false; // order counts start again: every earlier picture is shown before this one
    int32_t wrap = 0;          // how far the count runs before what it is derived from wraps, 0 if unknown
};

} // namespace vidmend
