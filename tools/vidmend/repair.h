#pragma once

#include "jobfile.h"
#include "reporter.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vidmend {

// How a repair ends. The value is the exit code; state_word() is the word
// the last progress report carries, in the repair window's language.
enum class Outcome {
    Done = 0,
    Usage = 1,
    Unreadable = 2,
    NoVideo = 3,
    NotMp4 = 4,
    Unsupported = 5,
    Swapped = 6,
    Intact = 7,
    NothingFound = 8,
    WriteFailed = 9,
    Stopped = 10,
    AudioMismatch = 11,
    SettingsMismatch = 12,
};

const char* state_word(Outcome outcome);

struct TrackSummary
{
    std::string kind; // "video" or "audio"
    std::string codec;
    uint64_t samples = 0;
    uint64_t walked = 0; // of them, found by walking the media; the rest the file's own index lists
    double seconds = 0;
    double lost = 0; // seconds estimated lost to damage
};

struct Summary
{
    uint64_t payload = 0; // media bytes in the damaged file
    uint64_t used = 0;    // of those, bytes that went into the repaired file
    uint64_t skipped = 0;
    uint64_t dropped = 0; // a cut-off sample at the end
    uint64_t damaged_spots = 0;
    std::vector<std::pair<uint64_t, uint64_t>> spans; // each damaged spot skipped: begin and end in the file
    uint64_t stray_frames = 0;                        // audio frames after damage that fit no track, dropped
    std::string clock;                                // what the video was laid out on
    std::vector<TrackSummary> tracks;
    std::vector<std::string> notes;
    double mismatch = 0; // video length minus the longest audio length, seconds
    double walk_seconds = 0;
    double write_seconds = 0;
    uint64_t decoder_calls = 0;
};

struct RepairResult
{
    Outcome outcome = Outcome::Done;
    std::string message;
    Summary summary;
    int progress = 0; // where the repair had got to when it ended; the total once done
};

// Progress scale of every report.
constexpr int k_progress_total = 1000;

// Repairs one damaged file. The inputs are only read; the output appears
// under its name only once it is complete.
RepairResult repair(const Job& job, Reporter& reporter);

std::string format_summary(const Summary& summary);

} // namespace vidmend
