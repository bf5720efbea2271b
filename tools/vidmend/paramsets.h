#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vidmend {

enum class VideoCodec { H264, Hevc };

// What the slice header parser and the picture order count need from an
// H.264 sequence parameter set.
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
std::optional<H264Sps> parse_h264_sps(const uint8_t* nal, size_t size);
std::optional<H264Pps> parse_h264_pps(const uint8_t* nal, size_t size);
std::optional<HevcSps> parse_hevc_sps(const uint8_t* nal, size_t size);
std::optional<HevcPps> parse_hevc_pps(const uint8_t* nal, size_t size);

// The parameter sets in force, by id.
class ParamSets
{
public:
    explicit ParamSets(VideoCodec codec)
        : m_codec(codec)
    {}

    VideoCodec codec() const { return m_codec; }

    // Takes a parameter set NAL unit; false if it is none or does not parse.
    bool add(const uint8_t* nal, size_t size);

    const H264Sps* h264_sps(int id) const { return find(m_h264_sps, id); }
    const H264Pps* h264_pps(int id) const { return find(m_h264_pps, id); }
    const HevcSps* hevc_sps(int id) const { return find(m_hevc_sps, id); }
    const HevcPps* hevc_pps(int id) const { return find(m_hevc_pps, id); }

private:
    template<class T, size_t N>
    static const T* find(const std::array<std::optional<T>, N>& table, int id)
    {
        return id >= 0 && size_t(id) < N && table[id] ? &*table[id] : nullptr;
    }

    VideoCodec m_codec;
    std::array<std::optional<H264Sps>, 32> m_h264_sps;
    std::array<std::optional<H264Pps>, 256> m_h264_pps;
    std::array<std::optional<HevcSps>, 16> m_hevc_sps;
    std::array<std::optional<HevcPps>, 64> m_hevc_pps;
};

// The decoder configuration record of an MP4 sample entry (avcC or hvcC).
struct DecoderConfig
{
    VideoCodec codec = VideoCodec::H264;
    int nal_length_size = 4;
    std::vector<std::vector<uint8_t>> nals; // parameter sets and SEI, whole NAL units
};

// Reads `count` NAL units, each after its 16-bit length, from `pos` on into
// `config`; false when they run past `size`.
bool read_nal_units(const uint8_t* data, size_t size, size_t& pos, size_t count, DecoderConfig& config);

std::optional<DecoderConfig> parse_avcc(const uint8_t* data, size_t size);
std::optional<DecoderConfig> parse_hvcc(const uint8_t* data, size_t size);

} // namespace vidmend
