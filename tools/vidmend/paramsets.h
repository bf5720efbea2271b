#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vidmend {

enum class VideoCodec { H264, Hevc, Mjpeg };

// The parameter sets in force, by id. Each codec keeps its own kinds of set
// (see h264.h, hevc.h); the sample walker only adds and copies them.
class ParamSets
{
public:
    virtual ~ParamSets() = default;
    // Takes a parameter set NAL unit; false if it is none or does not parse.
    virtual bool add(const uint8_t* nal, size_t size) = 0;
    // Becomes a copy of `other`, which holds the same codec's sets.
    virtual void assign(const ParamSets& other) = 0;
};

// Sequence and picture parameter sets in tables of `NSps` and `NPps` ids.
template<class Derived, class Sps, class Pps, size_t NSps, size_t NPps>
class ParamSetTables : public ParamSets
{
public:
    const Sps* sps(int id) const { return find(m_sps, id); }
    const Pps* pps(int id) const { return find(m_pps, id); }
    void assign(const ParamSets& other) override { *static_cast<Derived*>(this) = static_cast<const Derived&>(other); }

protected:
    template<class T, size_t N>
    static const T* find(const std::array<std::optional<T>, N>& table, int id)
    {
        return id >= 0 && size_t(id) < N && table[id] ? &*table[id] : nullptr;
    }
    template<class T, size_t N>
    static bool keep(std::array<std::optional<T>, N>& table, std::optional<T> set)
    {
        if (!set || set->id < 0 || size_t(set->id) >= N)
            return false;
        const size_t id = size_t(set->id);
        table[id] = std::move(set);
        return true;
    }

    std::array<std::optional<Sps>, NSps> m_sps;
    std::array<std::optional<Pps>, NPps> m_pps;
};

// The decoder configuration record of an MP4 sample entry (avcC or hvcC; empty for
// codecs whose samples are not NAL units).
struct DecoderConfig
{
    VideoCodec codec = VideoCodec::H264;
    int nal_length_size = 4;
    std::vector<std::vector<uint8_t>> nals; // parameter sets and SEI, whole NAL units
};

// Reads `count` NAL units, each after its 16-bit length, from `pos` on into
// `config`; false when they run past `size`.
bool read_nal_units(const uint8_t* data, size_t size, size_t& pos, size_t count, DecoderConfig& config);

} // namespace vidmend
