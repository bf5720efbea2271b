// Vidmend.exe: rebuilds an MP4 whose index (moov) was never written, from
// the damaged file's media data and the codec settings of a healthy
// reference recorded with the same device and settings.
//
// Usage:
//   Vidmend.exe                            reads the job file in the temporary folder (reference,
//                                          damaged, fps, output) and reports over the repair pipe
//   Vidmend.exe REFERENCE DAMAGED OUTPUT   reports on the console
//   Vidmend.exe REFERENCE DAMAGED FPS OUTPUT
//
// Each report is "vidmend PROGRESS TOTAL STATE" with TOTAL 1000. The state
// word is parsing, rebuilding or writing while the repair runs; the last
// report has PROGRESS equal to TOTAL and one of these words, which is also
// the exit code:
//   0  done         the repaired file is written
//   1  usage        bad argument list, unreadable or incomplete job file, or the same file twice
//   2  unreadable   an input cannot be read, or the reference has no index either
//   3  novideo      the reference has no video track
//   4  notmp4       the damaged file is not an MP4 or holds no media data
//   5  unsupported  a codec the repair does not handle (video other than H.264/HEVC, audio other than AAC)
//   6  swapped      the damaged file has a complete index and the reference has none
//   7  intact       the damaged file has a complete index: nothing to repair
//   8  nothing      no video sample in the damaged file matches the reference
//   9  writefailed  the repaired file cannot be written
//   10 stopped      the window answered "pro_end"; no output is left behind
// The inputs are never written to.

#include "jobfile.h"
#include "pipereporter.h"
#include "repair.h"
#include "reporter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: Vidmend.exe [REFERENCE DAMAGED [FPS] OUTPUT]\n"
                 "  without arguments the job is read from %s\n",
                 vidmend::job_file_path().c_str());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        usage(stdout);
        return 0;
    }
    vidmend::Job job;
    std::unique_ptr<vidmend::Reporter> reporter;
    if (argc == 1) {
        reporter = std::make_unique<vidmend::PipeReporter>();
        std::string error;
        if (!vidmend::read_job_file(vidmend::job_file_path(), job, error)) {
            std::fprintf(stderr, "Vidmend.exe: %s\n", error.c_str());
            reporter->report(vidmend::k_progress_total, vidmend::k_progress_total,
                             vidmend::state_word(vidmend::Outcome::Usage));
            return int(vidmend::Outcome::Usage);
        }
    } else if (argc == 4 || argc == 5) {
        reporter = std::make_unique<vidmend::ConsoleReporter>();
        job.reference = argv[1];
        job.damaged = argv[2];
        job.output = argv[argc - 1];
        if (argc == 5)
            job.fps = std::atoi(argv[3]);
    } else {
        usage(stderr);
        return int(vidmend::Outcome::Usage);
    }

    const vidmend::RepairResult result = vidmend::repair(job, *reporter);
    if (result.outcome == vidmend::Outcome::Done || result.outcome == vidmend::Outcome::NothingFound)
        std::fputs(vidmend::format_summary(result.summary).c_str(), stdout);
    if (result.outcome == vidmend::Outcome::Done)
        std::printf("%s\n", result.message.c_str());
    else
        std::fprintf(stderr, "Vidmend.exe: %s\n", result.message.c_str());
    std::fflush(stdout);
    // The window takes a report that reaches its total as the end of the job.
    if (result.outcome != vidmend::Outcome::Stopped)
        reporter->report(vidmend::k_progress_total, vidmend::k_progress_total, vidmend::state_word(result.outcome));
    return int(result.outcome);
}
