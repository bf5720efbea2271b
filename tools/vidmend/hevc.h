#pragma once

#include "videosyntax.h"

namespace vidmend {

bool parse_hevc_slice(const uint8_t* nal, size_t size, const ParamSets& sets, SliceHeader& out);

// Picture order counts (8.3.1).
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
