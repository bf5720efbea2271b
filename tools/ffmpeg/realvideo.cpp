#include "realvideo.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace ffexe {

namespace {

// Bits written from the top of each byte, as the codec reads them.
class BitWriter
{
public:
    void put(uint32_t value, int bits)
    {
        for (int i = bits - 1; i >= 0; --i) {
            if (m_used % 8 == 0)
                m_bytes.push_back(0);
            if ((value >> i) & 1)
                m_bytes.back() |= uint8_t(0x80 >> (m_used % 8));
            ++m_used;
        }
    }
    void bytes(const uint8_t* data, size_t size)
    {
        if (m_used % 8 == 0) {
            m_bytes.insert(m_bytes.end(), data, data + size);
            m_used += int(size * 8);
            return;
        }
        for (size_t i = 0; i < size; ++i)
            put(data[i], 8);
    }
    std::vector<uint8_t> take() { return std::move(m_bytes); }

private:
    std::vector<uint8_t> m_bytes;
    int m_used = 0;
};

uint32_t bits_at(const uint8_t* data, int at, int count)
{
    uint32_t value = 0;
    for (int i = at; i < at + count; ++i)
        value = value << 1 | ((data[size_t(i / 8)] >> (7 - i % 8)) & 1);
    return value;
}

// How wide a macroblock address is, by the number of macroblocks (H.263's table).
int mba_bits(int macroblocks)
{
    static const int most[] = {47, 98, 395, 1583, 6335, 9215};
    static const int bits[] = {6, 7, 9, 11, 13, 14, 14};
    int i = 0;
    while (i < 6 && macroblocks - 1 > most[i])
        ++i;
    return bits[i];
}

// The encoder reports macroblock positions only through two settings that
// libavcodec keeps for its H.263 encoder: the report interval, and the
// rows per group that it counts them in. Both live in the context the
// RealVideo encoder shares; their places are read from the H.263 encoder's
// options (the row count sits just before the first of them). False when
// that library lays them out otherwise.
bool ask_for_reports(AVCodecContext* context)
{
    const AVCodec* h263 = avcodec_find_encoder(AV_CODEC_ID_H263);
    if (!h263 || !h263->priv_class || !context->priv_data)
        return false;
    const AVClass* cls = h263->priv_class;
    const AVOption* obmc = av_opt_find(&cls, "obmc", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
    const AVOption* info = av_opt_find(&cls, "mb_info", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
    if (!obmc || !info || info->offset != obmc->offset + int(sizeof(int)) || obmc->offset < int(sizeof(int)))
        return false;
    auto* base = static_cast<uint8_t*>(context->priv_data);
    *reinterpret_cast<int*>(base + info->offset) = 1;                    // a report for every macroblock
    *reinterpret_cast<int*>(base + obmc->offset - int(sizeof(int))) = 1; // rows counted one by one
    return true;
}

// Where the encoder started afresh, and the macroblock it started with.
struct SliceStart
{
    int byte, macroblock;
};

// The places to cut a picture, from the encoder's macroblock reports (12
// bytes each: bit offset, quantiser, row, column ...); the first is {0, 0}.
std::vector<SliceStart> slice_starts(const uint8_t* reports, size_t report_bytes, int mb_width, int restart_bytes)
{
    std::vector<SliceStart> starts{{0, 0}};
    // The encoder starts afresh at the first macroblock that begins that far
    // after the last start, byte-aligned; every such start is reported.
    for (size_t at = 0; at + 12 <= report_bytes; at += 12) {
        const uint8_t* r = reports + at;
        const uint32_t bit = uint32_t(r[0]) | uint32_t(r[1]) << 8 | uint32_t(r[2]) << 16 | uint32_t(r[3]) << 24;
        const int macroblock = r[5] * mb_width + (r[6] | r[7] << 8);
        if (bit % 8 == 0 && macroblock > starts.back().macroblock && int(bit / 8) - starts.back().byte >= restart_bytes)
            starts.push_back({int(bit / 8), macroblock});
    }
    return starts;
}

// The picture cut at `starts`, each slice after the first given a copy of
// the picture header with its own first macroblock (`mba_bits` wide).
std::vector<std::vector<uint8_t>> cut_slices(const uint8_t* picture, size_t size, const std::vector<SliceStart>& starts,
                                             int mba_bits)
{
    std::vector<std::vector<uint8_t>> slices;
    // Type, a reserved bit, the quantiser and the picture number; then the
    // first macroblock; then the rounding bit.
    const int head_bits = 16 + mba_bits + 1;
    if (size * 8 < size_t(head_bits))
        return slices;
    const uint32_t head = bits_at(picture, 0, 16);
    const uint32_t rounding = bits_at(picture, 16 + mba_bits, 1);
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t from = size_t(starts[i].byte);
        const size_t to = i + 1 < starts.size() ? size_t(starts[i + 1].byte) : size;
        if (i == 0) {
            slices.emplace_back(picture, picture + to);
            continue;
        }
        BitWriter slice;
        slice.put(head, 16);
        slice.put(uint32_t(starts[i].macroblock), mba_bits);
        slice.put(rounding, 1);
        slice.bytes(picture + from, to - from);
        slices.push_back(slice.take());
    }
    return slices;
}

} // namespace

size_t RealPicture::size() const
{
    size_t total = 0;
    for (const auto& s : slices)
        total += s.size();
    return total;
}

RealVideoEncoder::RealVideoEncoder()
    : m_packet(av_packet_alloc())
{}

RealVideoEncoder::~RealVideoEncoder()
{
    avcodec_free_context(&m_context);
    av_packet_free(&m_packet);
}

std::string RealVideoEncoder::open(const Settings& settings)
{
    // A report counts the macroblock rows in one byte.
    if ((settings.height + 15) / 16 > 255)
        return "RealVideo 2 is written here up to 4080 rows high, not " + std::to_string(settings.height);
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_RV20);
    if (!codec || !m_packet)
        return "this system's libavcodec has no RealVideo 2 encoder";
    m_context = avcodec_alloc_context3(codec);
    if (!m_context)
        return "out of memory";
    m_context->width = settings.width;
    m_context->height = settings.height;
    m_context->pix_fmt = AV_PIX_FMT_YUV420P;
    // The rate control reckons in pictures.
    m_context->time_base = {settings.rate_den, settings.rate_num};
    m_context->framerate = {settings.rate_num, settings.rate_den};
    // A key picture every 5 s: a busy key picture costs as much as a dozen
    // others. H.263 wants each macroblock coded afresh within 132 pictures.
    const double pictures = double(settings.rate_num) / std::max(1, settings.rate_den);
    m_context->gop_size = int(std::clamp(std::lround(pictures * 5), 12L, 132L));
    // A quantiser chosen for each picture here, also for a rate: the
    // encoder's own buffer model encodes a picture again when it overflows,
    // and its macroblock reports then outgrow their room.
    m_context->flags |= AV_CODEC_FLAG_QSCALE;
    m_quality = FF_QP2LAMBDA * std::clamp(settings.quantiser, 2, 31);
    m_context->global_quality = m_quality;
    if (settings.bit_rate > 0)
        m_quality = 0;
    // At a quality, the rate is a ceiling only.
    const int64_t rate = settings.bit_rate > 0 ? settings.bit_rate : settings.most_bit_rate;
    if (rate > 0) {
        m_rate_bits = double(rate);
        m_picture_bits = m_rate_bits * settings.rate_den / std::max(1, settings.rate_num);
        // A first guess, a busy picture's; the pictures made correct it at once.
        m_key_cost = 16.0 * settings.width * settings.height;
        m_cost = m_key_cost / 4;
    }
    av_opt_set_int(m_context->priv_data, "ps", k_slice_bytes, 0);
    av_opt_set_int(m_context->priv_data, "trellis", 1, 0);
    if (!ask_for_reports(m_context))
        return "this system's libavcodec does not say where its RealVideo encoder starts a slice";
    if (avcodec_open2(m_context, codec, nullptr) < 0)
        return "the RealVideo 2 encoder does not take a " + std::to_string(settings.width) + "x" +
               std::to_string(settings.height) + " picture";
    m_mb_width = (settings.width + 15) / 16;
    m_mba_bits = mba_bits(m_mb_width * ((settings.height + 15) / 16));
    return {};
}

bool RealVideoEncoder::encode(AVFrame* frame, std::vector<RealPicture>& out)
{
    // The encoder takes the quality from each picture.
    if (frame)
        frame->quality = std::max(m_quality, m_rate_bits > 0 ? int(std::lround(next_quantiser() * FF_QP2LAMBDA)) : 0);
    if (avcodec_send_frame(m_context, frame) < 0)
        return false;
    for (;;) {
        const int got = avcodec_receive_packet(m_context, m_packet);
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF)
            return true;
        if (got < 0)
            return false;
        RealPicture picture;
        const bool cut = slice(*m_packet, picture);
        av_packet_unref(m_packet);
        if (!cut)
            return false;
        if (m_rate_bits > 0)
            spent(picture);
        out.push_back(std::move(picture));
    }
}

// One quantiser for the group of pictures up to the next key picture, such
// that it costs what the rate gives it; a quarter second spent over the rate
// doubles it, as much under halves it.
double RealVideoEncoder::next_quantiser() const
{
    const int group = std::max(1, m_context->gop_size);
    const int64_t left = std::max<int64_t>(1, group - m_since_key);
    const double cost = (m_since_key == 0 ? m_key_cost : 0) + m_cost * double(m_since_key == 0 ? left - 1 : left);
    const double over = (m_spent - m_picture_bits * double(m_pictures)) / m_rate_bits;
    return std::clamp(cost / (m_picture_bits * double(left)) * std::exp2(4 * over), 2.0, 31.0);
}

void RealVideoEncoder::spent(const RealPicture& picture)
{
    const double bits = double(picture.size()) * 8, cost = bits * picture.quantiser;
    double& estimate = picture.key ? m_key_cost : m_cost;
    // The first of a kind replaces the guess; later ones move it halfway.
    const bool first = picture.key ? m_pictures == 0 : m_pictures <= 1;
    estimate = first ? cost : (estimate + cost) / 2;
    m_spent += bits;
    ++m_pictures;
    m_since_key = picture.key ? 1 : (m_since_key + 1) % std::max(1, m_context->gop_size);
}

bool RealVideoEncoder::slice(const AVPacket& packet, RealPicture& picture) const
{
    size_t report_bytes = 0;
    const uint8_t* reports = av_packet_get_side_data(&packet, AV_PKT_DATA_H263_MB_INFO, &report_bytes);
    if (!reports)
        return false;
    picture.slices = cut_slices(packet.data, size_t(packet.size),
                                slice_starts(reports, report_bytes, m_mb_width, k_slice_bytes), m_mba_bits);
    picture.pts = packet.pts;
    picture.key = packet.flags & AV_PKT_FLAG_KEY;
    picture.quantiser = std::max(1, int(reports[4]));
    return !picture.slices.empty();
}

} // namespace ffexe
