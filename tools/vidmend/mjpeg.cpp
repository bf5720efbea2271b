#include "videosyntax.h"

#include <algorithm>
#include <cstring>

namespace vidmend {

namespace {

constexpr uint8_t k_soi = 0xd8;
constexpr uint8_t k_eoi = 0xd9;
constexpr uint8_t k_sos = 0xda;

// Motion JPEG carries no parameter sets: each picture holds its own tables.
class NoParamSets : public ParamSets
{
public:
    bool add(const uint8_t*, size_t) override { return false; }
    void assign(const ParamSets&) override {}
};

bool is_sof(uint8_t m)
{
    return m >= 0xc0 && m <= 0xcf && m != 0xc4 && m != 0xc8 && m != 0xcc;
}

// Segments a picture may hold before its end marker: frame and scan
// headers, tables, restart interval, application data and comments.
bool is_segment(uint8_t m)
{
    return is_sof(m) || m == 0xc4 || m == 0xcc || m == k_sos || m == 0xdb || m == 0xdd || m == 0xdc ||
           (m >= 0xe0 && m <= 0xef) || m == 0xfe;
}

// Each sample is one complete JPEG picture: start marker, segments with
// lengths, entropy-coded scans, end marker. Every picture is a key picture
// and none is reordered.
class MjpegSyntax : public VideoSyntax
{
public:
    bool delimited() const override { return true; }

    bool measure(const uint8_t* p, uint64_t avail, uint32_t max, DelimitedPicture& out) const override
    {
        out = DelimitedPicture{};
        if (avail < 4 || !could_start(p))
            return false;
        const uint64_t limit = std::min<uint64_t>(avail, max);
        uint64_t off = 2;
        bool frame = false, scan = false;
        while (true) {
            // Fill bytes may stand before a marker.
            while (off + 1 < limit && p[off] == 0xff && p[off + 1] == 0xff)
                ++off;
            if (off + 2 > limit)
                break;
            if (p[off] != 0xff)
                return false;
            const uint8_t m = p[off + 1];
            if (m == k_eoi) {
                if (!scan)
                    return false;
                out.size = uint32_t(off + 2);
                return true;
            }
            if (!is_segment(m))
                return false;
            if (off + 4 > limit)
                break;
            const uint32_t len = uint32_t(p[off + 2]) << 8 | p[off + 3];
            if (len < 2)
                return false;
            if (off + 2 + len > limit)
                break;
            const uint8_t* seg = p + off + 4;
            if (is_sof(m)) {
                // Precision, height, width and at least one component.
                if (frame || len < 11 || (seg[0] != 8 && seg[0] != 12) || (seg[3] == 0 && seg[4] == 0) || seg[5] == 0 ||
                    len != 8u + 3u * seg[5])
                    return false;
                frame = true;
                out.kinds |= uint8_t(1u << std::min(m - 0xc0, 3));
            }
            if (m == k_sos && (!frame || len < 6 || seg[0] == 0 || len != 6u + 2u * seg[0]))
                return false;
            out.units |= uint64_t(1) << (m & 63);
            out.largest_unit = std::max(out.largest_unit, len);
            off += 2 + len;
            if (m != k_sos)
                continue;
            scan = true;
            // Entropy-coded data runs to the first marker that is neither a
            // stuffed 0xff nor a restart marker.
            const uint64_t from = off;
            while (off < limit) {
                const void* ff = std::memchr(p + off, 0xff, limit - off);
                if (!ff) {
                    off = limit;
                    break;
                }
                off = uint64_t(static_cast<const uint8_t*>(ff) - p);
                if (off + 1 >= limit)
                    break;
                const uint8_t next = p[off + 1];
                if (next != 0 && !(next >= 0xd0 && next <= 0xd7) && next != 0xff)
                    break;
                off += next == 0xff ? 1 : 2;
            }
            out.largest_unit = std::max(out.largest_unit, uint32_t(std::min<uint64_t>(off - from, UINT32_MAX)));
            if (off + 1 >= limit)
                break;
        }
        // The data ends inside the picture; past `max` it is none.
        out.cut = limit == avail && avail < max;
        return false;
    }

    VideoCodec codec() const override { return VideoCodec::Mjpeg; }
    std::unique_ptr<ParamSets> make_param_sets() const override { return std::make_unique<NoParamSets>(); }
    int nal_type(const uint8_t*) const override { return 0; }
    // Start marker followed by the marker of the first segment.
    bool could_start(const uint8_t* p) const override { return p[0] == 0xff && p[1] == k_soi && p[2] == 0xff; }
    NalRole role(const uint8_t*, uint32_t, bool) const override { return NalRole::Invalid; }
    bool parse_slice(const uint8_t*, uint32_t, const ParamSets&, bool, SliceHeader&) const override { return false; }
    bool needs_full_header(const SliceHeader&) const override { return false; }
    bool second_field(const SliceHeader&, const SliceHeader&) const override { return false; }
    bool same_picture(const SliceHeader&, const SliceHeader&, const SliceHeader&) const override { return false; }
    bool key(const SliceHeader&) const override { return true; }
    bool optional_param_set(const uint8_t*) const override { return false; }
    bool ends_sequence(const uint8_t*) const override { return false; }
    int slice_kind(const SliceHeader&) const override { return 0; }

    PictureOrder order(const SliceHeader&, const SliceHeader*, const ParamSets&, bool) override
    {
        PictureOrder order;
        order.period_start = true; // shown in decoding order
        return order;
    }
};

} // namespace

std::unique_ptr<VideoSyntax> make_mjpeg_syntax()
{
    return std::make_unique<MjpegSyntax>();
}

std::optional<DecoderConfig> mjpeg_config(const uint8_t*, size_t)
{
    DecoderConfig config;
    config.codec = VideoCodec::Mjpeg;
    config.nal_length_size = 0;
    return config;
}

} // namespace vidmend
