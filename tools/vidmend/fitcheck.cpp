#include "fitcheck.h"

#include "bitreader.h"
#include "videosyntax.h"

#include <algorithm>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vidmend {

namespace {

// Samples tried of each track, spread over the file: damage spoils some
// while the stream is fine.
constexpr size_t k_key_tries = 5;

struct ContextDeleter
{
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter
{
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter
{
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, ContextDeleter>;

ContextPtr open_decoder(const AVCodecParameters* par)
{
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    ContextPtr ctx(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!ctx || avcodec_parameters_to_context(ctx.get(), par) < 0)
        return nullptr;
    ctx->thread_count = 1;
    // A slice that runs out of bits or a picture left with holes is an error, not something to conceal.
    ctx->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_CRCCHECK;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return nullptr;
    return ctx;
}

// Decodes one sample alone; the picture or sound it gives, if it gives one cleanly.
bool decode_one(const AVCodecParameters* par, const uint8_t* data, uint32_t size, AVFrame* frame)
{
    ContextPtr ctx = open_decoder(par);
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    if (!ctx || !packet || av_new_packet(packet.get(), int(size)) < 0)
        return false;
    std::copy(data, data + size, packet->data);
    packet->flags |= AV_PKT_FLAG_KEY;
    if (avcodec_send_packet(ctx.get(), packet.get()) < 0)
        return false;
    avcodec_send_packet(ctx.get(), nullptr);
    return avcodec_receive_frame(ctx.get(), frame) == 0 && frame->decode_error_flags == 0 &&
           !(frame->flags & AV_FRAME_FLAG_CORRUPT);
}

// The parameter set NAL units a sample carries, whole.
std::vector<std::vector<uint8_t>> sets_in(const Reference& ref, const uint8_t* p, uint32_t size)
{
    std::vector<std::vector<uint8_t>> sets;
    const std::unique_ptr<VideoSyntax> syntax = make_video_syntax(ref.video_config.codec);
    const int nls = ref.video_config.nal_length_size;
    for (uint64_t off = 0; off + uint64_t(nls) + 1 <= size;) {
        const uint32_t len = be_n(p + off, nls);
        off += uint64_t(nls);
        if (len == 0 || len > size - off)
            break;
        if (syntax->role(p + off, len, true) == NalRole::ParamSet)
            sets.emplace_back(p + off, p + off + len);
        off += len;
    }
    return sets;
}

// An avcC record of the given SPS and PPS units, with the reference's length size.
std::vector<uint8_t> avcc_of(const std::vector<std::vector<uint8_t>>& sets, int nls)
{
    std::vector<const std::vector<uint8_t>*> sps, pps;
    for (const std::vector<uint8_t>& nal : sets)
        ((nal[0] & 0x1f) == 7 ? sps : pps).push_back(&nal);
    if (sps.empty() || pps.empty() || sps.front()->size() < 4 || sps.size() > 31 || pps.size() > 255)
        return {};
    std::vector<uint8_t> out{1,
                             (*sps.front())[1],
                             (*sps.front())[2],
                             (*sps.front())[3],
                             uint8_t(0xfc | (nls - 1)),
                             uint8_t(0xe0 | sps.size())};
    const auto put = [&out](const std::vector<uint8_t>& nal) {
        out.push_back(uint8_t(nal.size() >> 8));
        out.push_back(uint8_t(nal.size()));
        out.insert(out.end(), nal.begin(), nal.end());
    };
    for (const auto* nal : sps)
        put(*nal);
    out.push_back(uint8_t(pps.size()));
    for (const auto* nal : pps)
        put(*nal);
    return out;
}

void set_extradata(AVCodecParameters* par, const std::vector<uint8_t>& data)
{
    av_freep(&par->extradata);
    par->extradata = static_cast<uint8_t*>(av_mallocz(data.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(data.begin(), data.end(), par->extradata);
    par->extradata_size = int(data.size());
}

} // namespace

namespace {

// Up to `count` of `picked`, spread evenly over them: damage in one stretch
// spoils only some.
std::vector<const Sample*> spread(const std::vector<const Sample*>& picked, size_t count)
{
    std::vector<const Sample*> out;
    for (size_t n = 0; n < count && n < picked.size(); ++n)
        out.push_back(picked[picked.size() <= count ? n : n * (picked.size() - 1) / (count - 1)]);
    return out;
}

// A track's samples to try: those the walk took up again right after damage go last.
std::vector<const Sample*> candidates(const std::vector<Sample>& samples, int track, bool keys)
{
    std::vector<const Sample*> clean, after_damage;
    for (const Sample& s : samples)
        if (int(s.track) == track && (!keys || s.key))
            (s.loss ? after_damage : clean).push_back(&s);
    std::vector<const Sample*> out = spread(clean, k_key_tries);
    for (const Sample* s : spread(after_damage, k_key_tries))
        out.push_back(s);
    return out;
}

} // namespace

Fit check_fit(Reference& ref, const std::vector<Sample>& samples, const uint8_t* file)
{
    Fit fit;
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    AVCodecParameters* video = ref.video >= 0 ? ref.tracks[size_t(ref.video)].par.get() : nullptr;
    bool decoded = false;
    const std::vector<const Sample*> keys = video ? candidates(samples, ref.video, true) : std::vector<const Sample*>();
    for (const Sample* key : keys) {
        const Sample& s = *key;
        av_frame_unref(frame.get());
        if (!decode_one(video, file + s.pos, s.size, frame.get()))
            continue;
        decoded = true;
        fit.width = frame->width;
        fit.height = frame->height;
        if (frame->width == video->width && frame->height == video->height)
            break;
        // A picture of its own size: cleanly decoded only with parameter sets of its own.
        const std::vector<std::vector<uint8_t>> sets = sets_in(ref, file + s.pos, s.size);
        const std::vector<uint8_t> avcc = ref.video_config.codec == VideoCodec::H264
                                              ? avcc_of(sets, ref.video_config.nal_length_size)
                                              : std::vector<uint8_t>();
        if (!avcc.empty()) {
            set_extradata(video, avcc);
            video->width = frame->width;
            video->height = frame->height;
            fit.own_sets = true;
            break;
        }
        decoded = false;
        fit.problem = "the recording's pictures are " + std::to_string(frame->width) + "x" +
                      std::to_string(frame->height) + ", the reference's " + std::to_string(video->width) + "x" +
                      std::to_string(video->height);
        break;
    }
    if (!keys.empty() && !decoded) {
        fit.ok = false;
        if (fit.problem.empty())
            fit.problem = "its key pictures do not decode with the reference's video settings (" +
                          std::to_string(video->width) + "x" + std::to_string(video->height) + ")";
        return fit;
    }
    // The sound fits when any of its frames tried decodes with the reference's settings: damage spoils some.
    for (int a : ref.audio) {
        const AVCodecParameters* par = ref.tracks[size_t(a)].par.get();
        const std::vector<const Sample*> tried = candidates(samples, a, false);
        const bool good = std::any_of(tried.begin(), tried.end(), [&](const Sample* s) {
            av_frame_unref(frame.get());
            return decode_one(par, file + s->pos, s->size, frame.get()) && frame->sample_rate == par->sample_rate &&
                   frame->ch_layout.nb_channels == par->ch_layout.nb_channels;
        });
        if (!tried.empty() && !good) {
            fit.ok = false;
            fit.problem = "its sound does not decode with the reference's audio settings";
            return fit;
        }
    }
    return fit;
}

} // namespace vidmend
