#pragma once

#include "videosyntax.h"

namespace vidmend {

// With `through_marking` the header is read up to the reference picture
// marking, which a memory_management_control_operation 5 needs.
bool parse_h264_slice(const uint8_t* nal, size_t size, const ParamSets& sets, bool through_marking, SliceHeader& out);

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
