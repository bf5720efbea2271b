#include "paramsets.h"

#include "bitreader.h"

#include <algorithm>

namespace vidmend {

void unescape_rbsp(const uint8_t* data, size_t size, size_t limit, std::vector<uint8_t>& out)
{
    out.clear();
    const size_t n = size < limit ? size : limit;
    out.reserve(n);
    int zeros = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = data[i];
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
}

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

int ceil_log2(uint32_t v)
{
    int bits = 0;
    while ((uint64_t(1) << bits) < v)
        ++bits;
    return bits;
}

void skip_hevc_profile_tier_level(BitReader& br, int max_sub_layers_minus1)
{
    br.skip(88); // general profile space, tier, idc, compatibility and constraint flags
    br.skip(8);  // general level
    std::vector<bool> profile(max_sub_layers_minus1), level(max_sub_layers_minus1);
    for (int i = 0; i < max_sub_layers_minus1; ++i) {
        profile[i] = br.flag();
        level[i] = br.flag();
    }
    if (max_sub_layers_minus1 > 0)
        br.skip(2 * (8 - max_sub_layers_minus1));
    for (int i = 0; i < max_sub_layers_minus1; ++i) {
        if (profile[i])
            br.skip(88);
        if (level[i])
            br.skip(8);
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

std::optional<HevcSps> parse_hevc_sps(const uint8_t* nal, size_t size)
{
    if (size < 4 || ((nal[0] >> 1) & 0x3f) != 33)
        return std::nullopt;
    std::vector<uint8_t> rbsp;
    unescape_rbsp(nal + 2, size - 2, k_param_limit, rbsp);
    BitReader br(rbsp.data(), rbsp.size());
    HevcSps sps;
    br.skip(4); // video parameter set id
    const int max_sub_layers_minus1 = br.u(3);
    if (max_sub_layers_minus1 > 6)
        return std::nullopt;
    br.skip(1);
    skip_hevc_profile_tier_level(br, max_sub_layers_minus1);
    sps.id = br.ue();
    if (sps.id > 15)
        return std::nullopt;
    sps.max_sub_layers = max_sub_layers_minus1 + 1;
    const uint32_t chroma_format_idc = br.ue();
    if (chroma_format_idc > 3)
        return std::nullopt;
    if (chroma_format_idc == 3)
        sps.separate_colour_plane = br.flag();
    const uint32_t width = br.ue();
    const uint32_t height = br.ue();
    if (br.flag()) {
        for (int i = 0; i < 4; ++i)
            br.ue();
    }
    if (br.ue() > 8 || br.ue() > 8) // bit depths
        return std::nullopt;
    const uint32_t lsb_bits = br.ue();
    if (lsb_bits > 12)
        return std::nullopt;
    sps.log2_max_poc_lsb = int(lsb_bits) + 4;
    const bool ordering_all = br.flag();
    for (int i = ordering_all ? 0 : max_sub_layers_minus1; i <= max_sub_layers_minus1; ++i) {
        br.ue();
        br.ue();
        br.ue();
    }
    const uint32_t min_cb = br.ue() + 3;
    const uint32_t ctb = min_cb + br.ue();
    if (!br.ok() || ctb < 4 || ctb > 6 || width == 0 || height == 0 || width > 16888 || height > 16888)
        return std::nullopt;
    const uint32_t ctb_size = 1u << ctb;
    sps.pic_size_in_ctbs = ((width + ctb_size - 1) >> ctb) * ((height + ctb_size - 1) >> ctb);
    return sps;
}

std::optional<HevcPps> parse_hevc_pps(const uint8_t* nal, size_t size)
{
    if (size < 3 || ((nal[0] >> 1) & 0x3f) != 34)
        return std::nullopt;
    std::vector<uint8_t> rbsp;
    unescape_rbsp(nal + 2, size - 2, 64, rbsp);
    BitReader br(rbsp.data(), rbsp.size());
    HevcPps pps;
    pps.id = br.ue();
    pps.sps_id = br.ue();
    if (pps.id > 63 || pps.sps_id > 15)
        return std::nullopt;
    pps.dependent_slice_segments_enabled = br.flag();
    pps.output_flag_present = br.flag();
    pps.num_extra_slice_header_bits = br.u(3);
    if (!br.ok())
        return std::nullopt;
    return pps;
}

bool ParamSets::add(const uint8_t* nal, size_t size)
{
    if (size < 2)
        return false;
    if (m_codec == VideoCodec::H264) {
        const int type = nal[0] & 0x1f;
        if (type == 7) {
            auto sps = parse_h264_sps(nal, size);
            if (!sps)
                return false;
            const int id = sps->id;
            m_h264_sps[id] = std::move(sps);
            return true;
        }
        if (type == 8) {
            auto pps = parse_h264_pps(nal, size);
            if (!pps)
                return false;
            m_h264_pps[pps->id] = pps;
            return true;
        }
        return false;
    }
    const int type = (nal[0] >> 1) & 0x3f;
    if (type == 33) {
        auto sps = parse_hevc_sps(nal, size);
        if (!sps)
            return false;
        m_hevc_sps[sps->id] = sps;
        return true;
    }
    if (type == 34) {
        auto pps = parse_hevc_pps(nal, size);
        if (!pps)
            return false;
        m_hevc_pps[pps->id] = pps;
        return true;
    }
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
        const int count = list == 0 ? (data[pos] & 0x1f) : data[pos];
        ++pos;
        for (int i = 0; i < count; ++i) {
            if (pos + 2 > size)
                return std::nullopt;
            const size_t len = be16(data + pos);
            pos += 2;
            if (len == 0 || pos + len > size)
                return std::nullopt;
            config.nals.emplace_back(data + pos, data + pos + len);
            pos += len;
        }
    }
    return config;
}

std::optional<DecoderConfig> parse_hvcc(const uint8_t* data, size_t size)
{
    if (size < 23 || data[0] != 1)
        return std::nullopt;
    DecoderConfig config;
    config.codec = VideoCodec::Hevc;
    config.nal_length_size = (data[21] & 3) + 1;
    if (config.nal_length_size == 3)
        return std::nullopt;
    const int arrays = data[22];
    size_t pos = 23;
    for (int a = 0; a < arrays; ++a) {
        if (pos + 3 > size)
            return std::nullopt;
        const size_t count = be16(data + pos + 1);
        pos += 3;
        for (size_t i = 0; i < count; ++i) {
            if (pos + 2 > size)
                return std::nullopt;
            const size_t len = be16(data + pos);
            pos += 2;
            if (len == 0 || pos + len > size)
                return std::nullopt;
            config.nals.emplace_back(data + pos, data + pos + len);
            pos += len;
        }
    }
    return config;
}

} // namespace vidmend
