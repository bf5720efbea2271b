#include "sender.h"

#include "phrasetable.h"
#include "rtmppublisher.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <chrono>
#include <cstdarg>
#include <cstring>

namespace ffexe {

namespace {

// What a destination may fall behind by before its queue is emptied: some
// seconds of a high bit rate, well past a slow server's handshake.
constexpr size_t k_queue_most = 8u << 20;
constexpr int k_io_size = 64 * 1024;
// How long an rtmp connection goes without hearing what its server said.
constexpr std::chrono::milliseconds k_quiet(1000);

thread_local Sender* t_sender = nullptr;

// ffmpeg's log of a sender's connection is the sender's, to tell what went
// wrong; it never reaches our output, where the plug-in would take it for the
// push's own failure.
void log_line(void* context, int level, const char* format, va_list args)
{
    if (!t_sender) {
        av_log_default_callback(context, level, format, args);
        return;
    }
    if (level > AV_LOG_WARNING)
        return;
    char line[1024];
    int prefix = 1;
    av_log_format_line2(context, level, format, args, line, sizeof line, &prefix);
    t_sender->heard(line);
}

long long now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int stop_only(void* self)
{
    return static_cast<std::atomic<bool>*>(self)->load();
}

} // namespace

Sender::Sender(protocol::PushTarget target, long long timeout_us, std::function<void()> wake)
    : m_target(std::move(target))
    , m_timeout_us(timeout_us)
    , m_wake(std::move(wake))
{
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(log_line); });
}

Sender::~Sender()
{
    end();
}

void Sender::set_header(std::string header)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_header = std::move(header);
}

void Sender::begin()
{
    end();
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.clear();
        m_header_due = srt(); // the remuxer reads it; an rtmp connection makes its own start
        m_finishing = false;
        m_done = false;
    }
    m_stop = false;
    m_running = true;
    m_thread = std::thread(&Sender::run, this);
}

bool Sender::push(const std::string& tags)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.size() + tags.size() > k_queue_most) {
        m_queue.clear();
        return false;
    }
    m_queue += tags;
    m_more.notify_one();
    return true;
}

void Sender::finish()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_finishing = true;
    m_more.notify_one();
}

bool Sender::done()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_done;
}

void Sender::end()
{
    m_stop = true;
    m_more.notify_one();
    if (m_thread.joinable())
        m_thread.join();
    m_running = false;
}

std::vector<Sender::News> Sender::take_news()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<News> news;
    news.swap(m_news);
    return news;
}

int Sender::interrupted(void* self)
{
    auto* sender = static_cast<Sender*>(self);
    const long long deadline = sender->m_deadline_ns;
    return sender->m_stop || (deadline > 0 && now_ns() > deadline);
}

void Sender::arm()
{
    m_deadline_ns = now_ns() + m_timeout_us * 1000;
}

void Sender::tell(News news)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_news.push_back(news);
    }
    m_wake();
}

void Sender::heard(const char* line)
{
    if (!m_heard)
        m_heard = outcome_for_line(std::string_view(line, std::strcspn(line, "\r\n")));
}

void Sender::run()
{
    t_sender = this;
    m_heard.reset();
    m_leftover.clear();
    m_on_air = false;
    const int code = srt() ? run_ts() : run_flv();
    t_sender = nullptr;
    // A connection that was on air and broke off is lost, whatever ffmpeg said of it.
    if (code < 0 && !m_stop)
        tell({false,
              m_on_air ? std::optional<protocol::Outcome>() : m_heard.value_or(protocol::Outcome::ConnectFailed)});
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
    }
    m_running = false;
    m_wake();
}

bool Sender::take(std::string& bytes, std::optional<std::chrono::milliseconds> at_most)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto ready = [this] { return m_stop || m_finishing || !m_queue.empty(); };
    bytes.clear();
    if (!at_most)
        m_more.wait(lock, ready);
    else if (!m_more.wait_for(lock, *at_most, ready))
        return true; // nothing yet
    if (m_stop || m_queue.empty())
        return false;
    if (m_header_due)
        bytes = m_header;
    m_header_due = false;
    bytes += m_queue;
    m_queue.clear();
    return true;
}

int Sender::take_some(unsigned char* buf, int size)
{
    if (m_leftover.empty() && !take(m_leftover))
        return AVERROR_EOF;
    const int n = std::min(size, int(m_leftover.size()));
    std::memcpy(buf, m_leftover.data(), size_t(n));
    m_leftover.erase(0, size_t(n));
    return n;
}

int Sender::run_flv()
{
    // rtmp and rtmps: the tags go out through a connection of our own; what the
    // server said in between is answered while the stream is quiet, and at least once a second.
    RtmpPublisher rtmp([this] { return interrupted(this) != 0; });
    const bool verify = m_target.address.rfind("rtmps://", 0) == 0 && !m_target.any_certificate;
    protocol::Outcome why = protocol::Outcome::ConnectFailed;
    arm();
    if (!rtmp.open(m_target.address, verify, why)) {
        m_heard = why;
        return -1;
    }
    m_on_air = true;
    tell({true, std::nullopt});
    auto serviced = std::chrono::steady_clock::now();
    std::string tags;
    bool up = true;
    while (up && take(tags, k_quiet) && !m_stop) {
        arm();
        if (!tags.empty())
            up = rtmp.send_flv(tags);
        const auto now = std::chrono::steady_clock::now();
        if (up && (tags.empty() || now - serviced >= k_quiet)) {
            up = rtmp.service();
            serviced = now;
        }
    }
    arm();
    if (up && !m_stop)
        rtmp.close();
    return up ? 0 : -1;
}

int Sender::run_ts()
{
    // SRT carries MPEG-TS: the FLV is read back from the queue and remuxed.
    unsigned char* buffer = static_cast<unsigned char*>(av_malloc(k_io_size));
    AVIOContext* in = avio_alloc_context(
        buffer, k_io_size, 0, this,
        [](void* self, uint8_t* buf, int size) { return static_cast<Sender*>(self)->take_some(buf, size); }, nullptr,
        nullptr);
    AVFormatContext* input = avformat_alloc_context();
    input->pb = in;
    input->flags |= AVFMT_FLAG_CUSTOM_IO;
    input->interrupt_callback = {&stop_only, &m_stop};
    AVFormatContext* output = nullptr;
    AVPacket* packet = av_packet_alloc();
    std::vector<int> mapped;
    // The stream's headers come first: a short look finds what it holds.
    AVDictionary* look = nullptr;
    av_dict_set(&look, "analyzeduration", "500000", 0);
    int code = avformat_open_input(&input, nullptr, av_find_input_format("flv"), &look);
    av_dict_free(&look);
    if (code >= 0)
        code = avformat_find_stream_info(input, nullptr);
    if (code >= 0)
        code = avformat_alloc_output_context2(&output, nullptr, "mpegts", m_target.address.c_str());
    for (unsigned i = 0; code >= 0 && i < input->nb_streams; ++i) {
        const AVCodecParameters* from = input->streams[i]->codecpar;
        const bool kept = from->codec_type == AVMEDIA_TYPE_VIDEO || from->codec_type == AVMEDIA_TYPE_AUDIO;
        AVStream* stream = kept ? avformat_new_stream(output, nullptr) : nullptr;
        mapped.push_back(stream ? stream->index : -1);
        if (stream && (code = avcodec_parameters_copy(stream->codecpar, from)) >= 0)
            stream->codecpar->codec_tag = 0;
    }
    if (code >= 0) {
        output->interrupt_callback = {&Sender::interrupted, this};
        arm();
        code = avio_open2(&output->pb, m_target.address.c_str(), AVIO_FLAG_WRITE, &output->interrupt_callback, nullptr);
    }
    if (code >= 0 && (code = avformat_write_header(output, nullptr)) >= 0) {
        m_on_air = true;
        tell({true, std::nullopt});
    }
    while (code >= 0 && (code = av_read_frame(input, packet)) >= 0) {
        const int to = packet->stream_index < int(mapped.size()) ? mapped[size_t(packet->stream_index)] : -1;
        if (to >= 0) {
            av_packet_rescale_ts(packet, input->streams[packet->stream_index]->time_base,
                                 output->streams[to]->time_base);
            packet->stream_index = to;
            arm();
            code = av_interleaved_write_frame(output, packet);
        }
        av_packet_unref(packet);
    }
    if (code == AVERROR_EOF && m_on_air) {
        arm();
        code = av_write_trailer(output);
    }
    av_packet_free(&packet);
    if (output) {
        arm();
        avio_closep(&output->pb);
        avformat_free_context(output);
    }
    avformat_close_input(&input);
    av_freep(&in->buffer);
    avio_context_free(&in);
    return code == AVERROR_EOF ? 0 : code;
}

} // namespace ffexe
