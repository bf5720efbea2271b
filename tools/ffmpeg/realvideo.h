#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
}

namespace ffexe {

// One RealVideo 2 picture cut into slices that each fit a RealMedia packet.
struct RealPicture
{
    std::vector<std::vector<uint8_t>> slices;
    int64_t pts = 0;
    bool key = false;
    int quantiser = 0;
    size_t size() const;
};

// RealVideo 2 through libavcodec's encoder, whose pictures are one slice
// each: a busy picture of any size would need more than the two packets a
// reader joins. The encoder is told to start afresh (no prediction across)
// every `k_slice_bytes`, and where it did so is learnt from the macroblock
// positions it reports; a slice header is put there.
class RealVideoEncoder
{
public:
    // Quality `quantiser` (2 best .. 31) when `bit_rate` is 0, else that rate.
    struct Settings
    {
        int width = 0, height = 0;
        int rate_num = 25, rate_den = 1; // pictures a second; a picture's time counts them
        int quantiser = 5;
        int64_t bit_rate = 0;
        int64_t most_bit_rate = 0; // at a quality, what it may not go over on average; 0: none
    };

    RealVideoEncoder();
    ~RealVideoEncoder();
    RealVideoEncoder(const RealVideoEncoder&) = delete;
    RealVideoEncoder& operator=(const RealVideoEncoder&) = delete;

    // Empty when the encoder is ready, else why not.
    std::string open(const Settings& settings);
    // A picture in (null: the end), what is ready out; false on an error.
    bool encode(AVFrame* frame, std::vector<RealPicture>& out);

    // The most a slice takes, its header included.
    static constexpr int k_slice_bytes = 60000;

private:
    bool slice(const AVPacket& packet, RealPicture& picture) const;
    double next_quantiser() const;
    void spent(const RealPicture& picture);

    AVCodecContext* m_context = nullptr;
    AVPacket* m_packet = nullptr;
    int m_mb_width = 0, m_mba_bits = 0;
    int m_quality = 0; // each picture's least, in lambda units; 0: by rate
    // By rate: bits a picture's content costs times its quantiser, for key
    // pictures and the others; the bits spent and the pictures they bought.
    double m_rate_bits = 0, m_picture_bits = 0;
    double m_key_cost = 0, m_cost = 0, m_spent = 0;
    int64_t m_pictures = 0, m_since_key = 0;
};

} // namespace ffexe
