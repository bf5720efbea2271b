#pragma once

#include <string>
#include <vector>

namespace ffexe {

// A capture cut into files of about `seconds` each, on key frames, by
// ffmpeg's segment muxer. The files are numbered as the plug-in numbers a
// recording's files: the first under the name it was given, the next ones
// with "_N" before the extension. The muxer needs a number in every name, so
// the first file is written numbered and takes its given name once complete.
struct SegmentPlan
{
    long long seconds = 0;
    int first = 1;          // the number of the first file
    std::string first_path; // the name the first file keeps
    std::string stem;       // folder and base name of the numbered files
    std::string ext;
    bool fragmented = false; // MP4, written in fragments and made ordinary once complete

    // The plan for a capture named `path` whose first file here is number `first`.
    static SegmentPlan make(const std::string& path, long long seconds, int first);
    // The name ffmpeg writes file `n` under.
    std::string written(int n) const;
    // The name file `n` keeps.
    std::string final_name(int n) const;
    // The segment muxer's name pattern.
    std::string pattern() const;
};

// Tells when a segment is complete: the muxer opens the next file only once
// it has closed the one before; the last is complete once ffmpeg has ended.
class SegmentTracker
{
public:
    explicit SegmentTracker(const SegmentPlan& plan)
        : m_plan(plan)
        , m_next(plan.first)
    {}

    // The numbers of the files completed since the last call.
    std::vector<int> completed(bool ended);
    // The number of the file being written.
    int writing() const { return m_next; }

private:
    SegmentPlan m_plan;
    int m_next;
};

// Forces a file and its folder entry to the disk, so that a power cut after
// a recording has ended keeps it. False when that failed.
bool sync_to_disk(const std::string& path);

} // namespace ffexe
