#pragma once

#include "paramsets.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/dict.h>
#include <libavutil/rational.h>
}

namespace vidmend {

struct CodecParDeleter
{
    void operator()(AVCodecParameters* p) const;
};
using CodecParPtr = std::unique_ptr<AVCodecParameters, CodecParDeleter>;

enum class TrackKind { Video, Audio, Skipped };

// One track of the reference as the repaired file will carry it.
struct RefTrack
{
    TrackKind kind = TrackKind::Skipped;
    int stream_index = -1;
    std::string codec_name;
    std::string note; // why a track is skipped
    CodecParPtr par;
    AVRational time_base{1, 1};
    std::string language;
    std::string handler;
    std::vector<std::pair<int, std::vector<uint8_t>>> side_data; // stream side data, e.g. the display matrix

    int64_t samples = 0;
    uint64_t bytes = 0;
    uint32_t min_size = 0;
    uint32_t max_size = 0;
    int64_t step = 0;      // most common sample duration, in time_base units
    int64_t first_pts = 0; // of the first sample in presentation order
    int64_t first_dts = 0;
    int delay = 0;              // video: frames by which decoding runs ahead of display
    int64_t longest_period = 0; // video: most pictures between order count resets, 0 when it shows none
    // Video: how often each distance between a picture's place in display
    // order and its place in decoding order (both counted from where its
    // period begins) occurs: the stream's reordering.
    std::map<int64_t, int> reorder;
    int64_t frame_samples = 0; // audio: samples a frame holds (1 for PCM, whose frames are sample frames)
    int sample_rate = 0;
    // The first samples' bytes, to learn what the stream's samples look like.
    std::vector<std::vector<uint8_t>> examples;
};

// Where a sample of the reference lies, for learning how its writer interleaves tracks.
struct RefSample
{
    int64_t pos;
    int track;         // index into Reference::tracks
    int64_t timestamp; // decoding time, in the track's time base
    uint32_t size;
};

struct Reference
{
    std::vector<RefTrack> tracks; // in the reference's order
    int video = -1;               // index into tracks
    std::vector<int> audio;       // indexes into tracks, in order
    DecoderConfig video_config;
    std::vector<RefSample> layout; // video and audio samples by file position
    double frame_rate = 0;
    uint32_t other_size = 0; // the largest sample of the tracks not repaired (text, timecode), 0 if none
};

enum class ReferenceStatus { Ok, Unreadable, NoVideo, Unsupported };

// Reads the reference's streams, codec settings and sample index with
// libavformat. `message` says what is wrong when the status is not Ok. A
// reference with sound and no video is NoVideo and read all the same.
ReferenceStatus read_reference(const std::string& path, Reference& ref, std::string& message);

// The other sample rates a recording's sound may have been at and still read
// as the reference's track: for AAC those whose frames use the same scale
// factor band tables (raw frames carry no rate), for PCM, whose bytes say
// nothing of it, the usual ones. Only the sound's clock against the pictures tells.
std::vector<int> alike_rates(const RefTrack& track);

// Gives the reference's sound tracks at `from` Hz the rate `to`: the sample
// rate, for AAC the AudioSpecificConfig's rate index, and the time base when
// it counts samples. False, with nothing changed, when an AAC configuration
// does not say its rate by index.
bool set_audio_rate(Reference& ref, int from, int to);

} // namespace vidmend
