#include "reference.h"

#include "audioframer.h"
#include "timestamps.h"
#include "videoscanner.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace vidmend {

void CodecParDeleter::operator()(AVCodecParameters* p) const
{
    avcodec_parameters_free(&p);
}

namespace {

struct InputCloser
{
    void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};

std::string av_error_text(int err)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

std::string tag(const AVDictionary* dict, const char* key)
{
    const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
    return e ? e->value : "";
}

// Sizes, positions and the usual duration from the stream's sample index.
void read_index(AVStream* st, RefTrack& track, int track_index, std::vector<RefSample>& layout)
{
    const int count = avformat_index_get_entries_count(st);
    std::map<int64_t, int64_t> steps;
    int64_t prev = AV_NOPTS_VALUE;
    track.min_size = UINT32_MAX;
    for (int i = 0; i < count; ++i) {
        const AVIndexEntry* e = avformat_index_get_entry(st, i);
        if (!e || e->size <= 0)
            continue;
        ++track.samples;
        track.bytes += uint64_t(e->size);
        track.min_size = std::min<uint32_t>(track.min_size, uint32_t(e->size));
        track.max_size = std::max<uint32_t>(track.max_size, uint32_t(e->size));
        if (prev != AV_NOPTS_VALUE && e->timestamp > prev)
            ++steps[e->timestamp - prev];
        prev = e->timestamp;
        layout.push_back({e->pos, track_index, e->timestamp, uint32_t(e->size)});
        if (i == 0)
            track.first_dts = e->timestamp;
    }
    if (track.samples == 0)
        track.min_size = 0;
    int64_t best = 0;
    for (const auto& [step, n] : steps)
        if (best == 0 || n > steps[best])
            best = step;
    track.step = best;
}

// One stream of the reference as a track: what it is, and for the tracks
// repaired their settings and sample index. False, with `message`, for sound
// no framer reads.
bool read_track(AVStream* st, Reference& ref, bool& unsupported_video, std::string& message)
{
    const AVCodecParameters* cp = st->codecpar;
    RefTrack track;
    track.stream_index = st->index;
    track.codec_name = avcodec_get_name(cp->codec_id);
    track.time_base = st->time_base;
    track.language = tag(st->metadata, "language");
    track.handler = tag(st->metadata, "handler_name");
    track.par.reset(avcodec_parameters_alloc());
    avcodec_parameters_copy(track.par.get(), cp);
    for (int s = 0; s < st->nb_side_data; ++s) {
        const AVPacketSideData& sd = st->side_data[s];
        track.side_data.emplace_back(int(sd.type), std::vector<uint8_t>(sd.data, sd.data + sd.size));
    }
    const int index = int(ref.tracks.size());
    if (cp->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
        std::optional<DecoderConfig> config;
        if (const VideoCodecEntry* entry = video_codec_entry(cp->codec_id))
            config = entry->read_config(cp->extradata, size_t(cp->extradata_size));
        if (config && ref.video < 0) {
            track.kind = TrackKind::Video;
            ref.video = index;
            ref.video_config = std::move(*config);
            const AVRational rate = st->avg_frame_rate.num ? st->avg_frame_rate : st->r_frame_rate;
            ref.frame_rate = rate.den ? av_q2d(rate) : 0;
        } else if (config) {
            track.note = "a second video track";
        } else {
            unsupported_video = unsupported_video || ref.video < 0;
            track.note = "video in " + track.codec_name + " is not repaired";
        }
    } else if (cp->codec_type == AVMEDIA_TYPE_AUDIO) {
        if (!make_audio_framer(cp, 1024)) {
            message = "the reference's audio is " + track.codec_name + ", which cannot be repaired (AAC and PCM only)";
            return false;
        }
        track.sample_rate = cp->sample_rate;
        track.frame_samples = pcm_block_size(cp) > 0 ? 1 : cp->frame_size > 0 ? cp->frame_size : 1024;
        track.kind = TrackKind::Audio;
        ref.audio.push_back(index);
    } else {
        track.note = std::string(av_get_media_type_string(cp->codec_type) ? av_get_media_type_string(cp->codec_type)
                                                                          : "unknown") +
                     " track (" + track.codec_name + ")";
    }
    if (track.kind != TrackKind::Skipped)
        read_index(st, track, index, ref.layout);
    // Their samples lie among the pictures and the sound; the walk passes over them.
    for (int e = 0; track.kind == TrackKind::Skipped && e < avformat_index_get_entries_count(st); ++e)
        ref.other_size = std::max<uint32_t>(ref.other_size, uint32_t(avformat_index_get_entry(st, e)->size));
    ref.tracks.push_back(std::move(track));
    return true;
}

// Sample durations the index did not tell: the pictures' from the frame
// rate, the sound's a frame.
void settle_steps(Reference& ref)
{
    if (ref.video >= 0) {
        RefTrack& video = ref.tracks[ref.video];
        if (video.step <= 0 && ref.frame_rate > 0)
            video.step = std::llround(1.0 / (ref.frame_rate * av_q2d(video.time_base)));
    }
    for (int a : ref.audio) {
        RefTrack& audio = ref.tracks[a];
        if (audio.step <= 0)
            audio.step = audio.frame_samples;
    }
}

// The first packets give what the index does not: presentation times, and
// examples of the samples themselves.
void read_first_packets(AVFormatContext* ctx, Reference& ref)
{
    std::vector<int64_t> first_pts(ref.tracks.size(), AV_NOPTS_VALUE);
    std::vector<int> seen(ref.tracks.size(), 0);
    std::vector<int> by_stream(ctx->nb_streams, -1);
    for (size_t t = 0; t < ref.tracks.size(); ++t)
        by_stream[ref.tracks[t].stream_index] = int(t);
    AVPacket* pkt = av_packet_alloc();
    constexpr int k_examples = 300;
    for (int read = 0; read < 4000 && av_read_frame(ctx, pkt) >= 0; ++read) {
        const int t = by_stream[pkt->stream_index];
        if (t >= 0 && ref.tracks[t].kind != TrackKind::Skipped) {
            if (pkt->pts != AV_NOPTS_VALUE && (first_pts[t] == AV_NOPTS_VALUE || pkt->pts < first_pts[t]))
                first_pts[t] = pkt->pts;
            ++seen[t];
            if (ref.tracks[t].examples.size() < k_examples)
                ref.tracks[t].examples.emplace_back(pkt->data, pkt->data + pkt->size);
        }
        av_packet_unref(pkt);
        if ((ref.video < 0 || seen[ref.video] >= k_examples) &&
            std::all_of(ref.audio.begin(), ref.audio.end(), [&](int a) { return seen[a] >= k_examples; }))
            break;
    }
    av_packet_free(&pkt);
    for (size_t t = 0; t < ref.tracks.size(); ++t) {
        RefTrack& track = ref.tracks[t];
        track.first_pts = first_pts[t] != AV_NOPTS_VALUE ? first_pts[t] : track.first_dts;
    }
}

// How the example pictures are reordered: the most of them between two
// places where the order counts start again, and how far each lies from its
// place in decoding order.
void learn_reordering(Reference& ref)
{
    RefTrack& video = ref.tracks[ref.video];
    VideoScanner scanner(ref.video_config, UINT32_MAX, UINT32_MAX);
    int64_t since = -1;
    std::vector<int32_t> poc;
    std::vector<bool> starts;
    for (const auto& sample : video.examples) {
        VideoCandidate c;
        if (!scanner.probe(sample.data(), sample.size(), c))
            continue;
        const PictureOrder order = scanner.accept(sample.data(), c);
        if (order.period_start) {
            if (since > 0)
                video.longest_period = std::max(video.longest_period, since);
            since = 0;
        }
        since += since >= 0;
        if (since > 0) {
            poc.push_back(order.poc);
            starts.push_back(order.period_start);
        }
    }
    const std::vector<int64_t> display = display_order(poc, starts);
    for (size_t k = 0, first = 0; k < display.size(); ++k) {
        first = starts[k] ? k : first;
        ++video.reorder[display[k] - display[first] - int64_t(k - first)];
    }
}

} // namespace

ReferenceStatus read_reference(const std::string& path, Reference& ref, std::string& message)
{
    ref = Reference{};
    AVFormatContext* raw = nullptr;
    int err = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (err < 0) {
        message = "cannot open the reference " + path + ": " + av_error_text(err);
        return ReferenceStatus::Unreadable;
    }
    std::unique_ptr<AVFormatContext, InputCloser> ctx(raw);
    if ((err = avformat_find_stream_info(ctx.get(), nullptr)) < 0) {
        message = "cannot read the reference's streams: " + av_error_text(err);
        return ReferenceStatus::Unreadable;
    }
    bool unsupported_video = false;
    for (unsigned i = 0; i < ctx->nb_streams; ++i)
        if (!read_track(ctx->streams[i], ref, unsupported_video, message))
            return ReferenceStatus::Unsupported;
    if (ref.video < 0) {
        if (unsupported_video) {
            message = "the reference's video codec cannot be repaired (H.264, HEVC and Motion JPEG only)";
            return ReferenceStatus::Unsupported;
        }
        message = "the reference has no video track";
        // A sound recording (a voice recorder's) is read on, for a recording of the same kind.
        if (ref.audio.empty())
            return ReferenceStatus::NoVideo;
    }
    if (ref.video >= 0 && ref.tracks[ref.video].samples == 0) {
        message = "the reference's video track has no samples";
        return ReferenceStatus::Unreadable;
    }
    settle_steps(ref);
    std::sort(ref.layout.begin(), ref.layout.end(),
              [](const RefSample& a, const RefSample& b) { return a.pos < b.pos; });
    read_first_packets(ctx.get(), ref);
    if (ref.video < 0)
        return ReferenceStatus::NoVideo;
    RefTrack& video = ref.tracks[ref.video];
    if (video.step > 0)
        video.delay = int(std::max<int64_t>(0, (video.first_pts - video.first_dts + video.step / 2) / video.step));
    learn_reordering(ref);
    return ReferenceStatus::Ok;
}

namespace {

// The AAC sampling frequency index table.
constexpr int k_aac_rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

int aac_rate_index(int rate)
{
    for (int i = 0; i < int(std::size(k_aac_rates)); ++i)
        if (k_aac_rates[i] == rate)
            return i;
    return -1;
}

} // namespace

std::vector<int> alike_rates(const RefTrack& track)
{
    const int rate = track.sample_rate;
    std::vector<int> alike;
    if (pcm_block_size(track.par.get()) > 0) {
        for (int other : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000})
            if (other != rate)
                alike.push_back(other);
        return alike;
    }
    if (track.par->codec_id != AV_CODEC_ID_AAC)
        return alike;
    // Rates by the long window band table they share (FFmpeg's aactab.c,
    // ff_swb_offset_1024; the short window tables group them alike or coarser).
    static const std::vector<std::vector<int>> groups = {
        {96000, 88200}, {48000, 44100}, {24000, 22050}, {16000, 12000, 11025}, {8000, 7350}};
    for (const std::vector<int>& group : groups)
        if (std::find(group.begin(), group.end(), rate) != group.end())
            for (int other : group)
                if (other != rate)
                    alike.push_back(other);
    return alike;
}

bool set_audio_rate(Reference& ref, int from, int to)
{
    std::vector<int> tracks;
    for (int a : ref.audio) {
        const RefTrack& t = ref.tracks[size_t(a)];
        if (t.sample_rate != from)
            continue;
        tracks.push_back(a);
        if (t.par->codec_id != AV_CODEC_ID_AAC)
            continue;
        // Object type in 5 bits, then the rate's index in 4: an escaped
        // object type, or SBR signalled with a second rate, is not rewritten here.
        const uint8_t* asc = t.par->extradata;
        const int type = t.par->extradata_size >= 2 ? asc[0] >> 3 : 0;
        if (type == 0 || type == 31 || type == 5 || type == 29)
            return false;
        const int index = ((asc[0] & 7) << 1) | (asc[1] >> 7);
        if (index >= int(std::size(k_aac_rates)))
            return false;
        // With SBR signalled implicitly the configuration holds the core's rate, half the output's.
        const int64_t core = int64_t(k_aac_rates[index]) * to;
        if (core % from != 0 || aac_rate_index(int(core / from)) < 0)
            return false;
    }
    if (tracks.empty())
        return false;
    for (int a : tracks) {
        RefTrack& t = ref.tracks[size_t(a)];
        if (t.par->codec_id == AV_CODEC_ID_AAC) {
            uint8_t* asc = t.par->extradata;
            const int index = ((asc[0] & 7) << 1) | (asc[1] >> 7);
            const int core = aac_rate_index(int(int64_t(k_aac_rates[index]) * to / from));
            asc[0] = uint8_t((asc[0] & 0xf8) | (core >> 1));
            asc[1] = uint8_t((asc[1] & 0x7f) | ((core & 1) << 7));
        }
        t.par->sample_rate = to;
        t.sample_rate = to;
        if (t.time_base.num == 1 && t.time_base.den == from) {
            // Timestamps count samples: the same counts at the new rate. The
            // reference's own layout keeps its seconds.
            t.time_base = AVRational{1, to};
            for (RefSample& s : ref.layout)
                if (s.track == a)
                    s.timestamp = av_rescale(s.timestamp, to, from);
        } else {
            t.step = std::max<int64_t>(1, av_rescale(t.step, from, to));
        }
    }
    return true;
}

} // namespace vidmend
