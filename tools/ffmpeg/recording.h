#pragma once

#include "segments.h"

#include <optional>
#include <string>

namespace ffexe {

class OutputWriter;
struct Invocation;
struct ProgressBlock;

// The files one ffmpeg records (one, or one after another when cut), and
// what is done with them once it has ended: an MP4 written in fragments made
// ordinary, each file forced to the disk and said (a file record), or a file
// that holds nothing removed.
class Recording
{
public:
    Recording() = default;
    explicit Recording(const Invocation& invocation);

    // Notes what ffmpeg's progress says was written.
    void note(const ProgressBlock& block);
    // Completes and says the files of a cut recording that are done; all of them once ffmpeg has `ended`.
    void complete_segments(OutputWriter& out, bool ended);
    // Once ffmpeg has ended: the files completed and said; false when nothing was
    // recorded and the empty file was removed.
    bool finish(OutputWriter& out);
    // The file recorded into now; empty when this is no recording.
    std::string current() const;
    // The number of the next file after the ones recorded here.
    int next_number() const;

private:
    std::string m_finish_mp4;
    std::string m_output; // the one file, when not cut
    int m_number = 1;
    std::optional<SegmentPlan> m_plan;
    std::optional<SegmentTracker> m_segments;
    bool m_media_written = false; // ffmpeg reported a frame or a time past the start
};

} // namespace ffexe
