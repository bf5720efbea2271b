#pragma once

#include "videosyntax.h"

namespace vidmend {

struct HevcSps
{
    int id = 0;
    int max_sub_layers = 1;
    bool separate_colour_plane = false;
    int log2_max_poc_lsb = 4;
    uint32_t pic_size_in_ctbs = 0;
};

struct HevcPps
{
    int id = 0;
    int sps_id = 0;
    bool dependent_slice_segments_enabled = false;
    bool output_flag_present = false;
    int num_extra_slice_header_bits = 0;
};

// Each parser takes a whole NAL unit (header included) and fails on
// anything out of range, so that garbage is not taken for a parameter set.
std::optional<HevcSps> parse_hevc_sps(const uint8_t* nal, size_t size);
std::optional<HevcPps> parse_hevc_pps(const uint8_t* nal, size_t size);

class HevcParamSets : public ParamSetTables<HevcParamSets, HevcSps, HevcPps, 16, 64>
{
public:
    bool add(const uint8_t* nal, size_t size) override;
};

// The hvcC decoder configuration record.
std::optional<DecoderConfig> parse_hvcc(const uint8_t* data, size_t size);

bool parse_hevc_slice(const uint8_t* nal, size_t size, const HevcParamSets& sets, SliceHeader& out);

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
