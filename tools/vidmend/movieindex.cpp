#include "movieindex.h"

namespace vidmend {

using isobmff::fourcc;
using IsoBox = isobmff::Box;

namespace {

std::optional<IndexTrack> read_track(const IsoBox& trak)
{
    const std::optional<IsoBox> tkhd = isobmff::child(trak, fourcc("tkhd"));
    const std::optional<IsoBox> mdia = isobmff::child(trak, fourcc("mdia"));
    const std::optional<IsoBox> mdhd = mdia ? isobmff::child(*mdia, fourcc("mdhd")) : std::nullopt;
    const std::optional<IsoBox> minf = mdia ? isobmff::child(*mdia, fourcc("minf")) : std::nullopt;
    const std::optional<IsoBox> stbl = minf ? isobmff::child(*minf, fourcc("stbl")) : std::nullopt;
    const std::optional<uint32_t> id = tkhd ? isobmff::track_id(*tkhd) : std::nullopt;
    if (!id || !mdhd || !stbl)
        return std::nullopt;
    IndexTrack track;
    track.id = *id;
    track.timescale = isobmff::timescale(*mdhd);
    for (const IsoBox& hdlr : isobmff::children(*mdia)) {
        if (hdlr.type == fourcc("hdlr") && hdlr.payload_size() >= 12)
            track.handler = isobmff::be32(hdlr.payload() + 8); // after version, flags and pre_defined
    }
    // 8.5.2 sample description: version, flags, entry count, then the first entry's size and format.
    const std::optional<IsoBox> stsd = isobmff::child(*stbl, fourcc("stsd"));
    if (stsd && stsd->payload_size() >= 16)
        track.format = isobmff::be32(stsd->payload() + 12);
    if (track.timescale == 0 || !isobmff::read_sample_tables(*stbl, track.samples, track.chunks))
        return std::nullopt;
    return track;
}

} // namespace

std::optional<MovieIndex> read_movie_index(const uint8_t* file, const FileLayout& layout)
{
    MovieIndex index;
    size_t moov = layout.boxes.size();
    for (size_t i = 0; i < layout.boxes.size() && moov == layout.boxes.size(); ++i) {
        if (layout.boxes[i].type == fourcc("moov") && !layout.boxes[i].clamped)
            moov = i;
    }
    if (moov == layout.boxes.size())
        return std::nullopt;
    index.moov = moov;
    const IsoBox movie = in_memory(file, layout.boxes[moov]);
    std::vector<isobmff::TrackDefaults> defaults;
    for (const IsoBox& box : isobmff::children(movie)) {
        if (box.type == fourcc("mvhd")) {
            index.timescale = isobmff::timescale(box);
        } else if (box.type == fourcc("trak")) {
            std::optional<IndexTrack> track = read_track(box);
            if (track)
                index.tracks.push_back(std::move(*track));
            index.partial = index.partial || !track;
        } else if (box.type == 0) {
            // Zeros where the next box should begin: the rest was never written.
            index.partial = true;
        } else if (box.type == fourcc("mvex")) {
            index.fragmented = true;
            for (const IsoBox& trex : isobmff::children(box)) {
                const std::optional<isobmff::TrackDefaults> d =
                    trex.type == fourcc("trex") ? isobmff::read_trex(trex) : std::nullopt;
                if (d)
                    defaults.push_back(*d);
            }
        }
    }
    if (index.tracks.empty() || index.timescale == 0)
        return std::nullopt;
    size_t listed = 0;
    for (const IndexTrack& track : index.tracks)
        listed += track.samples.size();

    for (size_t i = moov + 1; index.fragmented && i < layout.boxes.size(); ++i) {
        const Box& box = layout.boxes[i];
        if (box.type != fourcc("moof") || box.clamped)
            continue;
        IndexFragment fragment;
        fragment.box = i;
        uint64_t previous_end = box.offset;
        for (const IsoBox& traf : isobmff::children(in_memory(file, box))) {
            isobmff::TrackFragment tf;
            if (traf.type != fourcc("traf") ||
                !isobmff::read_track_fragment(traf, box.offset, previous_end, defaults, tf))
                continue;
            previous_end = tf.data_end;
            for (const isobmff::TrackRun& run : tf.runs)
                listed += run.samples.size();
            fragment.trafs.push_back(std::move(tf));
        }
        index.fragments.push_back(std::move(fragment));
        // Beyond a day of media the headers are damaged, not long.
        if (listed > isobmff::k_max_samples)
            return std::nullopt;
    }
    return index;
}

} // namespace vidmend
