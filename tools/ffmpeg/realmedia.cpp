#include "realmedia.h"

#include "realvideo.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
}

namespace ffexe {

namespace {

// A packet's header and a slice's own before the picture's bytes.
constexpr int k_packet_head = 12;
constexpr int k_slice_head = 1 + 1 + 4 + 4 + 1;
constexpr int k_most_payload = 0xffff - k_packet_head - k_slice_head;
// The reader counts a picture's slices in six bits, as 2n + 1.
constexpr int k_most_slices = 127;
constexpr uint32_t k_preroll_ms = 0;
// Sizes and places in the file are 32-bit.
constexpr uint64_t k_most_file_bytes = 0xffffffffu;
// How each reason begins that blames what ffmpeg gave.
constexpr char k_short[] = "ffmpeg gave ";

class Out
{
public:
    void u8(unsigned v) { m_bytes.push_back(uint8_t(v)); }
    void u16(unsigned v) { u8(v >> 8), u8(v); }
    void u32(uint32_t v) { u16(v >> 16), u16(v & 0xffff); }
    void tag(const char* t) { m_bytes.insert(m_bytes.end(), t, t + 4); }
    void str8(const std::string& s)
    {
        u8(unsigned(s.size())), bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    }
    void bytes(const uint8_t* p, size_t n) { m_bytes.insert(m_bytes.end(), p, p + n); }
    const std::vector<uint8_t>& data() const { return m_bytes; }
    void clear() { m_bytes.clear(); }

private:
    std::vector<uint8_t> m_bytes;
};

struct Stream
{
    int index = -1; // in the input
    int number = 0; // in the output
    bool video = false;
    uint32_t packets = 0, largest = 0, last_ms = 0;
    uint64_t bytes = 0;
    AVRational rate{25, 1};
    const AVCodecParameters* par = nullptr;

    void count(uint32_t size, uint32_t ms)
    {
        ++packets;
        bytes += size;
        largest = std::max(largest, size);
        last_ms = std::max(last_ms, ms);
    }
    uint32_t bit_rate(uint32_t ms) const { return ms ? uint32_t(bytes * 8000 / ms) : 0; }
};

struct IndexEntry
{
    uint32_t ms, offset, packet;
};

struct Writer
{
    std::FILE* file = nullptr;
    uint64_t offset = 0;
    std::string error;

    void put(const std::vector<uint8_t>& bytes)
    {
        if (error.empty() && offset + bytes.size() > k_most_file_bytes)
            error = "RealMedia holds at most 4 GB; the conversion would be larger";
        if (error.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
            error = "cannot write the RealMedia file";
        offset += bytes.size();
    }
};

void packet_head(Out& out, const Stream& s, uint32_t size, uint32_t ms, bool key)
{
    out.u16(0);
    out.u16(size + k_packet_head);
    out.u16(s.number);
    out.u32(ms);
    out.u8(0);
    out.u8(key ? 2 : 0);
}

// Everything before the packets; the counts are known only after them, so it is written twice.
std::vector<uint8_t> headers(const std::vector<Stream>& streams, uint32_t duration_ms, uint32_t index_at,
                             uint32_t data_at, uint32_t total_packets, uint64_t data_bytes)
{
    Out o;
    o.tag(".RMF"), o.u32(18), o.u16(0), o.u32(0), o.u32(4 + uint32_t(streams.size()));
    uint32_t rate = 0, largest = 0;
    uint64_t bytes = 0;
    for (const Stream& s : streams) {
        rate += s.bit_rate(duration_ms);
        largest = std::max(largest, s.largest);
        bytes += s.bytes;
    }
    o.tag("PROP"), o.u32(50), o.u16(0), o.u32(rate), o.u32(rate), o.u32(largest);
    o.u32(total_packets ? uint32_t(bytes / total_packets) : 0), o.u32(total_packets), o.u32(duration_ms);
    o.u32(k_preroll_ms), o.u32(index_at), o.u32(data_at), o.u16(uint16_t(streams.size()));
    o.u16(1 | 2); // may be saved, plays as it is
    o.tag("CONT"), o.u32(18), o.u16(0), o.u16(0), o.u16(0), o.u16(0), o.u16(0);
    for (const Stream& s : streams) {
        const std::string desc = s.video ? "The Video Stream" : "The Audio Stream";
        const std::string mime = s.video ? "video/x-pn-realvideo" : "audio/x-pn-realaudio";
        const uint32_t codec_size = s.video ? 34 : 73;
        o.tag("MDPR"), o.u32(46 + uint32_t(desc.size() + mime.size()) + codec_size), o.u16(0), o.u16(s.number);
        o.u32(s.bit_rate(duration_ms)), o.u32(s.bit_rate(duration_ms)), o.u32(s.largest);
        o.u32(s.packets ? uint32_t(s.bytes / s.packets) : 0), o.u32(0), o.u32(k_preroll_ms), o.u32(duration_ms);
        o.str8(desc), o.str8(mime), o.u32(codec_size);
        const AVCodecParameters* p = s.par;
        if (s.video) {
            const uint32_t fps = uint32_t(av_q2d(s.rate) * 65536);
            o.u32(34), o.tag("VIDO"), o.tag("RV20"), o.u16(p->width), o.u16(p->height), o.u16(12), o.u32(0);
            o.u32(fps);
            // The decoder's settings: version 2.0 of the picture layer, no picture size changes.
            o.u32(0x00000008), o.u32(0x20103001);
            continue;
        }
        const int sample_rate = p->sample_rate, channels = p->ch_layout.nb_channels;
        const int frame_size = p->frame_size > 0 ? p->frame_size : 1536;
        // AC-3 at a constant rate: every frame as long as the largest.
        const uint32_t frame_bytes = std::max<uint32_t>(s.largest, 1);
        const uint32_t per_minute = uint32_t(uint64_t(frame_bytes) * std::max(sample_rate, 1) * 60 / frame_size);
        const uint16_t rate_code = sample_rate % 12000 == 0 ? 1 : sample_rate % 11025 == 0 ? 2 : 3;
        o.tag(".ra\xfd"), o.u16(4), o.u16(0), o.tag(".ra4"), o.u32(0x01b53530), o.u16(4), o.u32(0x39);
        o.u16(rate_code), o.u32(frame_bytes), o.u32(0x51540), o.u32(per_minute);
        o.u32(per_minute), o.u16(1), o.u16(frame_bytes), o.u32(0), o.u16(sample_rate);
        o.u32(0x10), o.u16(channels), o.str8("Int0"), o.u8(4), o.tag("dnet"), o.u16(0), o.u16(0), o.u16(0), o.u8(0);
    }
    o.tag("DATA"), o.u32(uint32_t(18 + data_bytes)), o.u16(0), o.u32(total_packets), o.u32(0);
    return o.data();
}

using FormatPtr = std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)>;

// Reads what ffmpeg writes to `fd` (NUT: raw pictures and AC-3) and writes
// the RealMedia file, the pictures encoded on the way.
class RealMediaWriter
{
public:
    explicit RealMediaWriter(const RealMediaSettings& settings)
        : m_settings(settings)
        , m_in(nullptr, [](AVFormatContext* c) { avformat_close_input(&c); })
    {}
    ~RealMediaWriter()
    {
        av_packet_free(&m_packet);
        av_frame_free(&m_frame);
    }

    std::string run(int fd, const std::string& to);

private:
    std::string open_input(int fd);
    std::string open_encoder(const AVStream& video);
    void take(Stream& s);
    void write_picture(Stream& s, const RealPicture& picture);
    void write_sound(Stream& s);
    std::string finish();

    RealMediaSettings m_settings;
    FormatPtr m_in;
    std::vector<Stream> m_streams;
    RealVideoEncoder m_encoder;
    AVPacket* m_packet = av_packet_alloc();
    AVFrame* m_frame = av_frame_alloc();
    Writer m_w;
    AVRational m_picture_time{1, 25}; // the encoder's time base
    uint32_t m_data_at = 0, m_total = 0, m_pictures = 0, m_next_sound_entry = 0;
    std::vector<IndexEntry> m_index;
    Out m_out;
};

std::string RealMediaWriter::open_input(int fd)
{
    AVFormatContext* raw = nullptr;
    const std::string url = "pipe:" + std::to_string(fd);
    if (avformat_open_input(&raw, url.c_str(), av_find_input_format("nut"), nullptr) < 0)
        return std::string(k_short) + "no pictures to encode";
    m_in.reset(raw);
    for (unsigned i = 0; i < m_in->nb_streams; ++i) {
        const AVStream* st = m_in->streams[i];
        Stream s;
        s.index = int(i);
        s.number = int(m_streams.size());
        s.par = st->codecpar;
        s.video = st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        if (s.video && st->r_frame_rate.num > 0)
            s.rate = st->r_frame_rate;
        if (s.video ? st->codecpar->codec_id == AV_CODEC_ID_RAWVIDEO : st->codecpar->codec_id == AV_CODEC_ID_AC3)
            m_streams.push_back(s);
    }
    // The index is of the pictures, or of the sound when there are none.
    std::stable_partition(m_streams.begin(), m_streams.end(), [](const Stream& s) { return s.video; });
    for (size_t i = 0; i < m_streams.size(); ++i)
        m_streams[i].number = int(i);
    if (m_streams.empty())
        return std::string(k_short) + "no pictures or sound to write";
    return m_streams.front().video ? open_encoder(*m_in->streams[m_streams.front().index]) : std::string();
}

std::string RealMediaWriter::open_encoder(const AVStream& video)
{
    const AVCodecParameters& p = *video.codecpar;
    // Raw pictures in NUT say their layout by their tag alone.
    if (p.format != AV_PIX_FMT_YUV420P && p.codec_tag != avcodec_pix_fmt_to_codec_tag(AV_PIX_FMT_YUV420P))
        return std::string(k_short) + "pictures of another pixel format";
    RealVideoEncoder::Settings settings;
    settings.width = p.width;
    settings.height = p.height;
    if (video.r_frame_rate.num > 0 && video.r_frame_rate.den > 0) {
        settings.rate_num = video.r_frame_rate.num;
        settings.rate_den = video.r_frame_rate.den;
    }
    m_picture_time = {settings.rate_den, settings.rate_num};
    settings.quantiser = m_settings.quantiser;
    settings.bit_rate = m_settings.bit_rate;
    if (m_settings.seconds > 0) {
        // What is left of the format's 4 GB after the sound (at most 192 kbit/s) and the packets' heads.
        const double bits = double(k_most_file_bytes) * 0.9 * 8;
        settings.most_bit_rate = std::max<int64_t>(100000, int64_t(bits / m_settings.seconds) - 192000);
    }
    m_frame->width = p.width;
    m_frame->height = p.height;
    m_frame->format = AV_PIX_FMT_YUV420P;
    return m_encoder.open(settings);
}

std::string RealMediaWriter::run(int fd, const std::string& to)
{
    if (!m_packet || !m_frame)
        return "out of memory";
    std::string error = open_input(fd);
    if (!error.empty())
        return error;
    m_w.file = std::fopen(to.c_str(), "wb");
    if (!m_w.file)
        return "cannot create " + to;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(m_w.file, std::fclose);
    // Room for the headers, written again at the end with what the packets came to.
    m_w.put(headers(m_streams, 0, 0, 0, 0, 0));
    m_data_at = uint32_t(m_w.offset - 18);
    while (m_w.error.empty() && av_read_frame(m_in.get(), m_packet) >= 0) {
        auto s = std::find_if(m_streams.begin(), m_streams.end(),
                              [this](const Stream& x) { return x.index == m_packet->stream_index; });
        if (s != m_streams.end() && m_packet->size > 0)
            take(*s);
        av_packet_unref(m_packet);
    }
    if (m_w.error.empty() && m_streams.front().video) {
        std::vector<RealPicture> last;
        if (!m_encoder.encode(nullptr, last))
            m_w.error = "the RealVideo 2 encoder failed at the end";
        for (const RealPicture& picture : last)
            write_picture(m_streams.front(), picture);
    }
    return m_w.error.empty() ? finish() : m_w.error;
}

void RealMediaWriter::take(Stream& s)
{
    if (!s.video) {
        write_sound(s);
        return;
    }
    const AVCodecParameters& p = *s.par;
    if (av_image_fill_arrays(m_frame->data, m_frame->linesize, m_packet->data, AV_PIX_FMT_YUV420P, p.width, p.height,
                             1) > m_packet->size) {
        m_w.error = std::string(k_short) + "a picture cut short";
        return;
    }
    m_frame->pts = av_rescale_q(m_packet->pts, m_in->streams[s.index]->time_base, m_picture_time);
    std::vector<RealPicture> pictures;
    if (!m_encoder.encode(m_frame, pictures)) {
        m_w.error = "the RealVideo 2 encoder failed on picture " + std::to_string(m_pictures + 1);
        return;
    }
    for (const RealPicture& picture : pictures)
        write_picture(s, picture);
}

uint32_t ms_of(int64_t ts, AVRational time_base)
{
    return uint32_t(std::max<int64_t>(0, ts == AV_NOPTS_VALUE ? 0 : av_rescale_q(ts, time_base, {1, 1000})));
}

void RealMediaWriter::write_picture(Stream& s, const RealPicture& picture)
{
    const int count = int(picture.slices.size());
    if (count > k_most_slices) {
        m_w.error = "a picture of " + std::to_string(picture.size()) + " bytes is too big for RealMedia";
        return;
    }
    const uint32_t at = ms_of(picture.pts, m_picture_time);
    if (picture.key && s.number == 0)
        m_index.push_back({at, uint32_t(m_w.offset), m_total});
    const uint32_t size = uint32_t(picture.size());
    uint32_t done = 0;
    for (int f = 1; f <= count; ++f) {
        const std::vector<uint8_t>& slice = picture.slices[size_t(f - 1)];
        if (int(slice.size()) > k_most_payload) {
            m_w.error = "a slice of " + std::to_string(slice.size()) + " bytes is too big for RealMedia";
            return;
        }
        const bool last = f == count;
        m_out.clear();
        packet_head(m_out, s, uint32_t(slice.size() + k_slice_head), at, picture.key);
        // A slice, or the last of the picture; how many there are, as 2n + 1.
        m_out.u8((last ? 0x80 : 0x00) | unsigned(count / 2));
        m_out.u8((picture.key ? 0x80 : 0x00) | unsigned(f));
        // Both in the long form, so that the header's length is fixed.
        m_out.u32(size);
        m_out.u32(last ? uint32_t(slice.size()) : done);
        m_out.u8(m_pictures & 0xff);
        m_out.bytes(slice.data(), slice.size());
        s.count(uint32_t(slice.size() + k_slice_head), at);
        ++m_total;
        done += uint32_t(slice.size());
        m_w.put(m_out.data());
    }
    ++m_pictures;
}

void RealMediaWriter::write_sound(Stream& s)
{
    const uint32_t at =
        ms_of(m_packet->pts != AV_NOPTS_VALUE ? m_packet->pts : m_packet->dts, m_in->streams[s.index]->time_base);
    if (s.number == 0 && at >= m_next_sound_entry) {
        m_index.push_back({at, uint32_t(m_w.offset), m_total});
        m_next_sound_entry = at + 1000;
    }
    m_out.clear();
    packet_head(m_out, s, uint32_t(m_packet->size), at, true);
    // The reader takes AC-3's 16-bit words the other way round.
    std::vector<uint8_t> swapped(m_packet->data, m_packet->data + m_packet->size);
    for (size_t i = 0; i + 1 < swapped.size(); i += 2)
        std::swap(swapped[i], swapped[i + 1]);
    m_out.bytes(swapped.data(), swapped.size());
    s.count(uint32_t(m_packet->size), at);
    ++m_total;
    m_w.put(m_out.data());
}

std::string RealMediaWriter::finish()
{
    const uint64_t data_bytes = m_w.offset - m_data_at - 18;
    const uint32_t index_at = uint32_t(m_w.offset);
    m_out.clear();
    m_out.tag("INDX"), m_out.u32(20 + 14 * uint32_t(m_index.size())), m_out.u16(0);
    m_out.u32(uint32_t(m_index.size())), m_out.u16(0), m_out.u32(0);
    for (const IndexEntry& e : m_index)
        m_out.u16(0), m_out.u32(e.ms), m_out.u32(e.offset), m_out.u32(e.packet);
    m_w.put(m_out.data());

    uint32_t duration = 0;
    for (const Stream& s : m_streams) {
        const int samples = s.par->frame_size > 0 ? s.par->frame_size : 1536;
        const uint32_t step =
            s.video ? uint32_t(1000 / av_q2d(s.rate)) : uint32_t(samples * 1000LL / std::max(1, s.par->sample_rate));
        if (s.packets)
            duration = std::max(duration, s.last_ms + step);
    }
    if (m_w.error.empty() && std::fseek(m_w.file, 0, SEEK_SET) != 0)
        m_w.error = "cannot write the RealMedia file";
    m_w.put(headers(m_streams, duration, index_at, m_data_at, m_total, data_bytes));
    if (m_w.error.empty() && std::fflush(m_w.file) != 0)
        m_w.error = "cannot write the RealMedia file";
    return m_w.error;
}

} // namespace

bool written_short(const std::string& reason)
{
    return reason.rfind(k_short, 0) == 0;
}

std::string write_real_media(int fd, const std::string& to, const RealMediaSettings& settings)
{
    std::string error = RealMediaWriter(settings).run(fd, to);
    // Whatever was not read makes ffmpeg stop rather than wait.
    ::close(fd);
    return error;
}

} // namespace ffexe
