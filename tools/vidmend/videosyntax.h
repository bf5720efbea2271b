#pragma once

#include "paramsets.h"
#include "slices.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace vidmend {

// What a NAL unit can be within an MP4 video sample.
enum class NalRole {
    Slice,    // coded picture data
    Start,    // may only open an access unit (delimiter, prefix SEI)
    ParamSet, // opens an access unit and changes the sets in force
    Trailer,  // may only follow the slices (end of sequence, filler, suffix SEI)
    Invalid,
};

// A sample that is one self-delimited picture (not length-prefixed NAL units),
// as its codec measures it.
struct DelimitedPicture
{
    uint32_t size = 0;
    bool cut = false;   // runs past the end of the data
    uint64_t units = 0; // one bit per kind of segment in it
    uint8_t kinds = 0;  // one bit per kind of picture coding
    uint32_t largest_unit = 0;
};

// The bitstream rules of one video codec, as the sample walker needs them.
// Adding a codec is adding one of these.
class VideoSyntax
{
public:
    virtual ~VideoSyntax() = default;

    // Whether samples are self-delimited pictures, read by measure() rather
    // than as NAL units. Such pictures are all key pictures without reordering.
    virtual bool delimited() const { return false; }
    // The picture beginning at `p` (with `avail` bytes to the end of the data),
    // at most `max` bytes long; false when none begins there or it is cut (`cut` set).
    virtual bool measure(const uint8_t*, uint64_t, uint32_t, DelimitedPicture&) const { return false; }

    virtual VideoCodec codec() const = 0;
    // An empty table of this codec's parameter sets, for the other members to read.
    virtual std::unique_ptr<ParamSets> make_param_sets() const = 0;
    virtual int nal_type(const uint8_t* nal) const = 0;
    // A quick test on the first three bytes of a NAL unit that an access unit could begin with.
    virtual bool could_start(const uint8_t* nal) const = 0;
    // With `whole` false the unit is cut short and its last byte tells nothing.
    virtual NalRole role(const uint8_t* nal, uint32_t size, bool whole) const = 0;
    // With `full` the header is read as far as the picture order needs (H.264's reference marking).
    virtual bool parse_slice(const uint8_t* nal, uint32_t size, const ParamSets& sets, bool full,
                             SliceHeader& out) const = 0;
    // Whether the first slice of a picture must be read in full.
    virtual bool needs_full_header(const SliceHeader& first) const = 0;
    // Whether `next`, which starts a picture, is the second field of the pair begun by `first`.
    virtual bool second_field(const SliceHeader& first, const SliceHeader& next) const = 0;
    // Whether `next` (not the first slice) can belong to the picture begun by `first`.
    virtual bool same_picture(const SliceHeader& first, const SliceHeader& previous, const SliceHeader& next) const = 0;
    virtual bool key(const SliceHeader& first) const = 0;
    // A parameter set that may fail to parse without making the sample implausible.
    virtual bool optional_param_set(const uint8_t* nal) const = 0;
    virtual bool ends_sequence(const uint8_t* nal) const = 0;
    // Slice types the walker tells apart, as a small number (at most 7).
    virtual int slice_kind(const SliceHeader& slice) const = 0;

    // Picture order of an accepted picture, with the counting state carried on.
    virtual PictureOrder order(const SliceHeader& first, const SliceHeader* second_field, const ParamSets& sets,
                               bool ends_sequence) = 0;
};

std::unique_ptr<VideoSyntax> make_h264_syntax();
std::unique_ptr<VideoSyntax> make_hevc_syntax();
std::unique_ptr<VideoSyntax> make_mjpeg_syntax();
std::optional<DecoderConfig> mjpeg_config(const uint8_t* data, size_t size);

// A video codec the engine repairs: how its sample entry's configuration
// reads and its bitstream syntax. Adding a codec is adding a row.
struct VideoCodecEntry
{
    int av_codec_id; // libavcodec's AVCodecID
    VideoCodec codec;
    std::optional<DecoderConfig> (*read_config)(const uint8_t* data, size_t size);
    std::unique_ptr<VideoSyntax> (*make_syntax)();
};

// The entry for a libavcodec codec id; null when the engine does not repair it.
const VideoCodecEntry* video_codec_entry(int av_codec_id);
std::unique_ptr<VideoSyntax> make_video_syntax(VideoCodec codec);

// Shared by both codecs: an SEI message chain (the bytes after the NAL
// header) that ends in its stop bit, and filler data.
bool valid_sei(const uint8_t* payload, size_t size);
bool valid_filler(const uint8_t* payload, size_t size);
int ceil_log2(uint32_t v);
// Counts are kept wide so that garbage parameters cannot overflow them.
int32_t clamp_poc(int64_t v);

} // namespace vidmend
