// HEVC (ISO/IEC 23008-2): parameter sets, slice segment headers, picture
// order counts and which NAL units may make up an access unit in an MP4 sample.
#include "hevc.h"

#include "bitreader.h"

#include <vector>

namespace vidmend {

namespace {

// Parameter sets are small; anything past this is not needed.
constexpr size_t k_param_limit = 4096;
// Enough for every slice segment header field up to the picture order count.
constexpr size_t k_short_header = 64;

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

bool HevcParamSets::add(const uint8_t* nal, size_t size)
{
    if (size < 2)
        return false;
    const int type = (nal[0] >> 1) & 0x3f;
    if (type == 33)
        return keep(m_sps, parse_hevc_sps(nal, size));
    if (type == 34)
        return keep(m_pps, parse_hevc_pps(nal, size));
    return false;
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
        if (!read_nal_units(data, size, pos, count, config))
            return std::nullopt;
    }
    return config;
}

bool parse_hevc_slice(const uint8_t* nal, size_t size, const HevcParamSets& sets, SliceHeader& out)
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
    const HevcPps* pps = out.pps_id <= 63 ? sets.pps(out.pps_id) : nullptr;
    const HevcSps* sps = pps ? sets.sps(pps->sps_id) : nullptr;
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
    order.wrap = clamp_poc(int64_t(1) << sps.log2_max_poc_lsb);
    m_first = false;
    // Leading pictures and sub-layer non-reference pictures do not anchor the next count.
    const bool sub_layer_non_ref = type <= 14 && type % 2 == 0;
    if (s.temporal_id == 0 && !(type >= 6 && type <= 9) && !sub_layer_non_ref) {
        m_prev_msb = idr ? 0 : msb;
        m_prev_lsb = idr ? 0 : s.poc_lsb;
    }
    return order;
}

namespace {

class HevcSyntax : public VideoSyntax
{
public:
    VideoCodec codec() const override { return VideoCodec::Hevc; }
    std::unique_ptr<ParamSets> make_param_sets() const override { return std::make_unique<HevcParamSets>(); }
    int nal_type(const uint8_t* nal) const override { return (nal[0] >> 1) & 0x3f; }

    bool could_start(const uint8_t* nal) const override
    {
        if ((nal[0] & 0x81) || (nal[1] & 0xf8) || !(nal[1] & 7))
            return false;
        const int type = nal[0] >> 1;
        return (type >= 32 && type <= 35) || type == 39 ||
               ((type <= 9 || (type >= 16 && type <= 21)) && (nal[2] & 0x80));
    }

    NalRole role(const uint8_t* nal, uint32_t size, bool whole) const override
    {
        // A NAL unit ends with its stop bit, or with an appended 0x03 after
        // trailing zero words: never with a zero byte.
        if (whole && nal[size - 1] == 0)
            return NalRole::Invalid;
        if (size < 2 || (nal[0] & 0x81) || (nal[1] & 0xf8) || !(nal[1] & 7))
            return NalRole::Invalid;
        const int type = nal[0] >> 1;
        const int tid = (nal[1] & 7) - 1;
        if (type <= 9)
            return NalRole::Slice;
        if (type >= 16 && type <= 21)
            return tid == 0 ? NalRole::Slice : NalRole::Invalid;
        switch (type) {
        case 32:
        case 33:
            return tid == 0 ? NalRole::ParamSet : NalRole::Invalid;
        case 34:
            return NalRole::ParamSet;
        case 35:
            return size == 3 && (nal[2] & 0x1f) == 0x10 ? NalRole::Start : NalRole::Invalid;
        case 36:
        case 37:
            return tid == 0 && size == 2 ? NalRole::Trailer : NalRole::Invalid;
        case 38:
            return valid_filler(nal + 2, size - 2) ? NalRole::Trailer : NalRole::Invalid;
        case 39:
            return valid_sei(nal + 2, size - 2) ? NalRole::Start : NalRole::Invalid;
        case 40:
            return valid_sei(nal + 2, size - 2) ? NalRole::Trailer : NalRole::Invalid;
        default:
            return NalRole::Invalid;
        }
    }

    bool parse_slice(const uint8_t* nal, uint32_t size, const ParamSets& sets, bool, SliceHeader& out) const override
    {
        return parse_hevc_slice(nal, size, static_cast<const HevcParamSets&>(sets), out);
    }
    bool needs_full_header(const SliceHeader&) const override { return false; }
    bool second_field(const SliceHeader&, const SliceHeader&) const override { return false; }

    bool same_picture(const SliceHeader& first, const SliceHeader& previous, const SliceHeader& next) const override
    {
        if (next.pps_id != first.pps_id || next.nal_type != first.nal_type)
            return false;
        return next.address > previous.address && (next.dependent || next.poc_lsb == first.poc_lsb);
    }

    bool key(const SliceHeader& first) const override { return first.nal_type >= 16 && first.nal_type <= 23; }
    // A video parameter set this walker does not read.
    bool optional_param_set(const uint8_t* nal) const override { return nal_type(nal) == 32; }
    bool ends_sequence(const uint8_t* nal) const override { return nal_type(nal) == 36; }
    int slice_kind(const SliceHeader& slice) const override { return slice.slice_type; }

    PictureOrder order(const SliceHeader& first, const SliceHeader*, const ParamSets& all, bool ends) override
    {
        const HevcParamSets& sets = static_cast<const HevcParamSets&>(all);
        const HevcPps* pps = sets.pps(first.pps_id);
        const HevcSps* sps = pps ? sets.sps(pps->sps_id) : nullptr;
        if (!sps)
            return {};
        const PictureOrder order = m_poc.next(first, *sps);
        if (ends)
            m_poc.end_of_sequence();
        return order;
    }

private:
    HevcPoc m_poc;
};

} // namespace

std::unique_ptr<VideoSyntax> make_hevc_syntax()
{
    return std::make_unique<HevcSyntax>();
}

} // namespace vidmend
