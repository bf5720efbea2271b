#include "videoscanner.h"

#include <algorithm>

namespace vidmend {

void VideoProfile::learn(const VideoCandidate& c)
{
    nal_types |= c.nal_types;
    slice_kinds |= c.slice_kinds;
    largest_nal = std::max(largest_nal, c.largest_nal);
    (c.key ? largest_key : largest_other) = std::max(c.key ? largest_key : largest_other, c.size);
}

uint32_t VideoProfile::cap() const
{
    const uint64_t key = 2ull * std::max(largest_key, largest_other);
    const uint64_t other = 4ull * largest_other;
    return uint32_t(std::min<uint64_t>(std::max(key, other), UINT32_MAX));
}

VideoScanner::VideoScanner(const DecoderConfig& config, uint32_t max_sample, uint32_t usual_sample)
    : m_syntax(make_video_syntax(config.codec))
    , m_delimited(m_syntax->delimited())
    , m_nls(config.nal_length_size)
    , m_max(max_sample)
    , m_usual(usual_sample)
    , m_sets(m_syntax->make_param_sets())
    , m_trial(m_syntax->make_param_sets())
{
    for (const auto& nal : config.nals)
        m_sets->add(nal.data(), nal.size());
}

bool VideoScanner::probe(const uint8_t* p, uint64_t avail, VideoCandidate& c)
{
    c = VideoCandidate{};
    if (m_delimited)
        return probe_delimited(p, avail, c);
    const VideoSyntax& syntax = *m_syntax;
    const ParamSets* sets = m_sets.get();
    uint64_t off = 0;
    SliceHeader prev;
    while (off + m_nls + 2 <= avail) {
        const uint32_t len = be_len(p + off);
        const uint8_t* nal = p + off + m_nls;
        if (len < 1 || len > m_max || off + m_nls + len > m_max)
            break;
        if (len > avail - off - m_nls) {
            // A NAL unit of this sample runs past the end of the data.
            if (off + m_nls + len > m_usual)
                break;
            const uint32_t have = uint32_t(avail - off - m_nls);
            const NalRole r = syntax.role(nal, have, false);
            SliceHeader s;
            if (r == NalRole::Slice && syntax.parse_slice(nal, have, *sets, false, s))
                c.cut = c.slices == 0 ? s.first_in_pic
                                      : !s.first_in_pic &&
                                            syntax.same_picture(c.second_field ? *c.second_field : c.first, prev, s);
            else if (r != NalRole::Slice && r != NalRole::Invalid)
                c.cut = (r == NalRole::Trailer) == (c.slices > 0);
            break;
        }
        const NalRole r = syntax.role(nal, len, true);
        if (r == NalRole::Invalid)
            break;
        if (r == NalRole::Slice) {
            SliceHeader s;
            if (!syntax.parse_slice(nal, len, *sets, false, s))
                break;
            const bool full = c.slices == 0 && syntax.needs_full_header(s);
            if (full && !syntax.parse_slice(nal, len, *sets, true, s))
                break;
            if (c.slices == 0) {
                if (!s.first_in_pic)
                    return false;
                c.first = s;
            } else if (s.first_in_pic) {
                if (c.second_field || c.trailer || !syntax.second_field(c.first, s) ||
                    !syntax.parse_slice(nal, len, *sets, true, s))
                    break;
                c.second_field = s;
            } else if (!syntax.same_picture(c.second_field ? *c.second_field : c.first, prev, s)) {
                break;
            }
            prev = s;
            ++c.slices;
            c.slice_kinds |= uint8_t(1u << (syntax.slice_kind(s) & 7));
        } else if (r == NalRole::Trailer) {
            if (c.slices == 0)
                return false;
            c.trailer = true;
            c.end_of_sequence = c.end_of_sequence || syntax.ends_sequence(nal);
        } else {
            if (c.slices > 0)
                break; // the next access unit begins
            if (r == NalRole::ParamSet) {
                if (sets != m_trial.get()) {
                    m_trial->assign(*m_sets);
                    sets = m_trial.get();
                }
                if (!m_trial->add(nal, len) && !syntax.optional_param_set(nal))
                    return false;
                c.param_sets.emplace_back(uint32_t(off + m_nls), len);
            }
        }
        c.nal_types |= uint64_t(1) << (syntax.nal_type(nal) & 63);
        c.largest_nal = std::max(c.largest_nal, len);
        off += m_nls + len;
    }
    if (c.slices == 0)
        return false;
    c.size = uint32_t(off);
    c.key = syntax.key(c.first);
    return true;
}

bool VideoScanner::probe_delimited(const uint8_t* p, uint64_t avail, VideoCandidate& c) const
{
    // A picture ends only at its end marker, so a hole of zeros or a lost end
    // would run on into the next: bounded by the pictures the stream has shown.
    const uint32_t bound = m_profile.nal_types ? std::min(m_max, m_profile.cap()) : m_max;
    DelimitedPicture pic;
    if (!m_syntax->measure(p, avail, bound, pic)) {
        // Like a NAL unit cut off, taken for a sample only up to the usual size.
        c.cut = pic.cut && avail <= m_usual;
        return false;
    }
    c.size = pic.size;
    c.key = true;
    c.slices = 1;
    c.nal_types = pic.units;
    c.slice_kinds = pic.kinds;
    c.largest_nal = pic.largest_unit;
    c.first.first_in_pic = true;
    return true;
}

bool VideoScanner::plausible(const VideoCandidate& c) const
{
    const VideoProfile& p = m_profile;
    if (p.nal_types == 0)
        return true; // nothing learnt yet
    const uint32_t cap = p.cap();
    return (c.nal_types & ~p.nal_types) == 0 && (c.slice_kinds & ~p.slice_kinds) == 0 && c.size <= cap &&
           c.largest_nal <= cap;
}

PictureOrder VideoScanner::accept(const uint8_t* p, const VideoCandidate& c)
{
    for (const auto& [offset, size] : c.param_sets)
        m_sets->add(p + offset, size);
    m_profile.learn(c);
    return m_syntax->order(c.first, c.second_field ? &*c.second_field : nullptr, *m_sets, c.end_of_sequence);
}

void VideoScanner::learn(const uint8_t* p, uint32_t size)
{
    VideoCandidate c;
    if (probe(p, size, c))
        m_profile.learn(c);
}

} // namespace vidmend
