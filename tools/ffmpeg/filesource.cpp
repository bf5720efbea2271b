#include "filesource.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <algorithm>

namespace ffexe {

namespace {

// How far ahead of its time a packet may go: packets go out in batches this long, not one by one.
constexpr auto k_ahead = std::chrono::milliseconds(50);
// Without a pace, how many packets go before the caller is given its turn.
constexpr int k_unpaced_batch = 64;
constexpr int k_io_size = 64 * 1024;

long long time_us(const AVPacket* packet, AVRational base)
{
    const int64_t ts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    return ts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : av_rescale_q(ts, base, AV_TIME_BASE_Q);
}

std::string error_text(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

} // namespace

FlvFileSource::FlvFileSource(std::function<void(const char*, size_t)> sink)
    : m_sink(std::move(sink))
    , m_packet(av_packet_alloc())
{}

FlvFileSource::~FlvFileSource()
{
    if (m_out) {
        if (m_out->pb) {
            av_freep(&m_out->pb->buffer);
            avio_context_free(&m_out->pb);
        }
        avformat_free_context(m_out);
    }
    avformat_close_input(&m_in);
    av_packet_free(&m_packet);
}

bool FlvFileSource::fail(const std::string& what, int code)
{
    m_error = code < 0 ? what + ": " + error_text(code) : what;
    return false;
}

bool FlvFileSource::open(const std::string& file, long long from_ms, bool realtime)
{
    m_realtime = realtime;
    m_from_us = from_ms * 1000;
    int code = avformat_open_input(&m_in, file.c_str(), nullptr, nullptr);
    if (code < 0)
        return fail(file, code);
    if ((code = avformat_find_stream_info(m_in, nullptr)) < 0)
        return fail(file + ": could not find codec parameters", code);
    // As ffmpeg picks them: the best picture that is not a cover, and the best sound.
    m_mapped.assign(m_in->nb_streams, -1);
    int outputs = 0;
    for (const AVMediaType type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}) {
        const int best = av_find_best_stream(m_in, type, -1, -1, nullptr, 0);
        if (best < 0 || (m_in->streams[best]->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        m_mapped[size_t(best)] = outputs++;
        if (type == AVMEDIA_TYPE_VIDEO)
            m_video = best;
    }
    if (outputs == 0)
        return fail("Output file #0 does not contain any stream", 0);
    m_start_us = m_in->start_time != AV_NOPTS_VALUE ? m_in->start_time : 0;
    if (m_from_us > 0) {
        if ((code = av_seek_frame(m_in, -1, m_start_us + m_from_us, AVSEEK_FLAG_BACKWARD)) < 0)
            return fail(file + ": could not seek to position " + std::to_string(from_ms / 1000.0), code);
    } else {
        m_base_us = m_start_us;
        m_based = true;
    }
    return true;
}

bool FlvFileSource::start_output()
{
    int code = avformat_alloc_output_context2(&m_out, nullptr, "flv", nullptr);
    if (code < 0)
        return fail("Could not create the FLV writer", code);
    for (unsigned i = 0; i < m_in->nb_streams; ++i) {
        if (m_mapped[i] < 0)
            continue;
        AVStream* stream = avformat_new_stream(m_out, nullptr);
        if (!stream || (code = avcodec_parameters_copy(stream->codecpar, m_in->streams[i]->codecpar)) < 0)
            return fail("Could not copy a stream", code);
        stream->codecpar->codec_tag = 0;
        stream->time_base = m_in->streams[i]->time_base;
    }
    auto* buffer = static_cast<unsigned char*>(av_malloc(k_io_size));
    m_out->pb = avio_alloc_context(buffer, k_io_size, 1, this, nullptr, &FlvFileSource::take, nullptr);
    AVDictionary* options = nullptr;
    // Nothing is gone back to: the stream is live.
    av_dict_set(&options, "flvflags", "no_duration_filesize", 0);
    code = avformat_write_header(m_out, &options);
    av_dict_free(&options);
    if (code < 0)
        return fail("Could not write header for output file #0 (incorrect codec parameters ?)", code);
    return true;
}

int FlvFileSource::take(void* self, uint8_t* data, int size)
{
    auto* source = static_cast<FlvFileSource*>(self);
    source->m_progress.total_size += size;
    source->m_sink(reinterpret_cast<const char*>(data), size_t(size));
    return size;
}

bool FlvFileSource::read_next()
{
    for (;;) {
        const int code = av_read_frame(m_in, m_packet);
        if (code == AVERROR_EOF)
            return false;
        if (code < 0)
            return fail("Error reading the input", code);
        const int from = m_packet->stream_index;
        const long long t = time_us(m_packet, m_in->streams[from]->time_base);
        bool keep = m_mapped[size_t(from)] >= 0 && t != AV_NOPTS_VALUE;
        if (keep && !m_based) {
            // From a position: the key picture at or before it comes first, and nothing before that.
            const bool key = (m_packet->flags & AV_PKT_FLAG_KEY) != 0;
            keep = m_video < 0 || (from == m_video && key);
            if (keep) {
                m_base_us = t;
                m_based = true;
            }
        }
        keep = keep && (from == m_video || t >= m_base_us);
        if (!keep) {
            av_packet_unref(m_packet);
            continue;
        }
        m_have_packet = true;
        return true;
    }
}

FlvFileSource::State FlvFileSource::pump(Clock::time_point now, Clock::time_point& next)
{
    if (!m_out && !start_output())
        return State::Failed;
    int budget = k_unpaced_batch;
    for (;;) {
        if (!m_have_packet && !read_next()) {
            if (!m_error.empty())
                return State::Failed;
            av_interleaved_write_frame(m_out, nullptr);
            const int code = av_write_trailer(m_out);
            avio_flush(m_out->pb);
            return code < 0 ? (fail("Error writing the end", code), State::Failed) : State::Ended;
        }
        AVStream* in = m_in->streams[m_packet->stream_index];
        const long long t = time_us(m_packet, in->time_base);
        if (!m_paced) {
            m_paced = true;
            m_first_us = t;
            m_begun = now;
        }
        if (m_realtime) {
            const Clock::time_point due = m_begun + std::chrono::microseconds(t - m_first_us);
            if (due > now + k_ahead) {
                next = due - k_ahead;
                break;
            }
        } else if (budget-- == 0) {
            next = now;
            break;
        }
        const int to = m_mapped[size_t(m_packet->stream_index)];
        const int64_t shift = av_rescale_q(m_base_us, AV_TIME_BASE_Q, in->time_base);
        if (m_packet->pts != AV_NOPTS_VALUE)
            m_packet->pts -= shift;
        if (m_packet->dts != AV_NOPTS_VALUE)
            m_packet->dts -= shift;
        av_packet_rescale_ts(m_packet, in->time_base, m_out->streams[to]->time_base);
        m_packet->stream_index = to;
        m_packet->pos = -1;
        if (in->index == m_video)
            ++m_progress.frame;
        // Counted from the position asked for, as the caller adds that.
        m_progress.out_time_us = std::max(m_progress.out_time_us, t - m_start_us - m_from_us);
        m_have_packet = false;
        const int code = av_interleaved_write_frame(m_out, m_packet);
        if (code < 0)
            return fail("Error muxing a packet", code), State::Failed;
    }
    avio_flush(m_out->pb);
    return State::Due;
}

ProgressBlock FlvFileSource::progress(Clock::time_point now) const
{
    ProgressBlock block = m_progress;
    const double wall_s = std::chrono::duration<double>(now - m_begun).count();
    block.fps = wall_s > 0 ? double(block.frame) / wall_s : 0;
    block.bitrate = block.out_time_us > 0 ? double(block.total_size) * 8 * 1000 / double(block.out_time_us) : 0;
    return block;
}

} // namespace ffexe
