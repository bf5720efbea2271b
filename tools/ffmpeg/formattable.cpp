#include "formattable.h"

#include <algorithm>
#include <cctype>

namespace ffexe {

namespace {

// Quality-based rate control, chosen per codec so that a busy 1080p picture
// keeps more than 34 dB PSNR (bench/formats measures it, with the sizes that costs).
const VideoCodec k_h264{"h264", "libx264", 2, Aspect::Any, false, {"-crf", "23"}, {"-preset", "medium"}};
// Phones play the main profile.
const VideoCodec k_h264_main{
    "h264", "libx264", 2, Aspect::Any, false, {"-crf", "23"}, {"-preset", "medium", "-profile:v", "main"}};
// FLV stores no negative time: pictures held back for B-frames move
// everything later, by two pictures with a pyramid of them, by one without.
const VideoCodec k_h264_flv{
    "h264", "libx264", 2, Aspect::Any, false, {"-crf", "23"}, {"-preset", "medium", "-b-pyramid", "none"}};
// A key picture every 5 s at 25 fps, not ffmpeg's 12 pictures: a busy key
// picture costs as much as a dozen others.
const VideoCodec k_mpeg4{
    "mpeg4", "mpeg4", 2, Aspect::Any, false, {"-q:v", "6"}, {"-bf", "2", "-trellis", "1", "-g", "125"}};
// The buffer a program stream's reader keeps (main profile, high level).
const VideoCodec k_mpeg2{"mpeg2video",
                         "mpeg2video",
                         2,
                         Aspect::FourThreeOr,
                         true,
                         {"-q:v", "5"},
                         {"-bf", "2", "-trellis", "1", "-maxrate", "80M", "-bufsize", "9781k"}};
const VideoCodec k_wmv2{"wmv2", "wmv2", 2, Aspect::Any, false, {"-q:v", "6"}, {"-g", "125"}};
// The stock RealMedia writer takes a picture of at most 64 KB, which a busy
// one outgrows many times over: FFmpeg.exe encodes and writes it in slices
// (realmedia.h), at its own quality.
const VideoCodec k_rv20{"rv20", nullptr, 4, Aspect::Square, false, {}, {}};

// Up to 5.1, which every player of these formats takes.
const AudioCodec k_aac{"aac", "aac", {32000, 44100, 48000, 88200, 96000}, 6, 96, 384};
const AudioCodec k_aac_stereo{"aac", "aac", {32000, 44100, 48000}, 2, 96, 192};
const AudioCodec k_mp3{"mp3", "libmp3lame", {32000, 44100, 48000}, 2, 96, 192};
const AudioCodec k_mp2{"mp2", "mp2", {32000, 44100, 48000}, 2, 128, 256};
// Its first frame, all delay, lasts 2048 samples whatever the rate: less of it at a higher rate.
const AudioCodec k_wmav2{"wmav2", "wmav2", {44100, 48000}, 2, 96, 192};
const AudioCodec k_ac3{"ac3", "ac3", {32000, 44100, 48000}, 2, 96, 192};

const Container k_containers[] = {
    {".mp4",
     "mp4",
     &k_h264,
     &k_aac,
     false,
     true,
     false,
     {"h264", "hevc", "mpeg4"},
     {"aac", "mp3", "ac3"},
     {"-movflags", "+faststart"},
     {}},
    {".mkv",
     "matroska",
     &k_h264,
     &k_aac,
     false,
     false,
     false,
     {"h264", "hevc", "mpeg4", "mpeg2video", "vp8", "vp9", "av1"},
     {"aac", "mp3", "opus", "vorbis", "flac", "ac3", "eac3", "dts", "mp2"},
     {},
     {}},
    {".flv", "flv", &k_h264_flv, &k_aac_stereo, false, false, true, {"h264"}, {"aac"}, {}, {}},
    {".3gp",
     "3gp",
     &k_h264_main,
     &k_aac_stereo,
     false,
     true,
     true,
     {"h264"},
     {"aac", "amr_nb", "amr_wb"},
     {"-movflags", "+faststart"},
     {}},
    // AVI has no time stamps: the sound is laid out from the start, so the
    // pictures start there too rather than a frame late for the encoder's delay.
    {".avi",
     "avi",
     &k_mpeg4,
     &k_mp3,
     true,
     false,
     false,
     {"mpeg4"},
     {"mp3", "ac3"},
     {"-avoid_negative_ts", "disabled"},
     {}},
    // A reader estimates a program stream's length from the time stamps at its
    // end; a pack of sound has one for its first frame only, so packs are small.
    {".mpg",
     "vob",
     &k_mpeg2,
     &k_mp2,
     true,
     false,
     false,
     {"mpeg2video", "mpeg1video"},
     {"mp2", "ac3"},
     {},
     {"-packetsize", "800"}},
    {".wmv", "asf", &k_wmv2, &k_wmav2, false, false, false, {"wmv1", "wmv2"}, {"wmav1", "wmav2"}, {}, {}},
    // ffmpeg has no writer answering to ".rmvb": it is RealMedia as ".rm" is.
    {".rm", "rm", &k_rv20, &k_ac3, true, false, false, {"rv10", "rv20"}, {"ac3"}, {}, {}},
    {".rmvb", "rm", &k_rv20, &k_ac3, true, false, false, {"rv10", "rv20"}, {"ac3"}, {}, {}},
};

} // namespace

const Container* container_for(const std::string& path)
{
    const auto dot = path.find_last_of("./");
    if (dot == std::string::npos || path[dot] != '.')
        return nullptr;
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    for (const Container& container : k_containers) {
        if (ext == container.ext)
            return &container;
    }
    return nullptr;
}

const std::vector<std::string>& standard_rates()
{
    static const std::vector<std::string> rates{"24000/1001", "24", "25", "30000/1001", "30", "50", "60000/1001", "60"};
    return rates;
}

} // namespace ffexe
