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
// word is parsing, rebuilding or writing while the repair runs. A repair that
// succeeds ends with a report whose PROGRESS equals TOTAL and the word done;
// one that fails ends below TOTAL, so the window never takes it for a
// finished job, with a word that says in Chinese what went wrong. The exit
// code tells the same:
//   0  done
//      the repaired file is written
//   1  修复失败:任务文件不完整或文件重复
//      bad argument list, unreadable or incomplete job file, or the same file twice
//   2  修复失败:无法读取文件或参考视频不完整
//      an input cannot be read, or the reference has no index either
//   3  修复失败:参考视频没有画面
//      the reference has no video track (a reference of sound alone repairs only a recording of
//      sound alone, AAC or PCM: the repair window itself still asks for a reference with video)
//   4  修复失败:损坏视频不是MP4文件
//      the damaged file is not an MP4 or holds no media data; a file whose head is lost (no box
//      where it begins) is searched for media that fits the reference first
//   5  修复失败:不支持该视频或音频编码
//      a codec the repair does not handle (video other than H.264/HEVC, audio other than AAC and PCM)
//   6  修复失败:两个文件似乎放反了
//      the damaged file is whole and the reference has no complete index
//   7  无需修复:损坏视频是完整的
//      every sample the damaged file's own index lists is in it: nothing to repair
//   8  修复失败:没有找到可以恢复的画面
//      no video sample in the damaged file matches the reference, or none its own index lists lies in it
//   9  修复失败:无法写入修复后的文件
//      the repaired file cannot be written
//   10 no last report
//      the window answered that the user ended the job; no output is left behind
//   11 修复失败:声音与参考视频的编码不同
//      the recording's audio is in another codec or channel layout than the reference's
//   12 修复失败:参考视频与损坏视频的设置不同
//      the recording's first key pictures or audio frames do not decode with the reference's
//      settings (another picture size, profile or sound setting), or its sound runs at another
//      rate than the reference's that the repaired file cannot be given; nothing is written.
//      Sound at a rate whose frames read like the reference's (AAC at 44.1 against 48 kHz, say,
//      or PCM) is told by its clock against the pictures and repaired at its own rate
// A damaged file that still has its index (written before the media, or as
// fragments) and was cut short is rebuilt from that index: the samples that
// lie wholly in the file are kept. Media the index does not describe (after
// the last sample an index at the head lists, as a writer that rewrites it
// every few seconds leaves it; past the last fragment header) is walked with
// the reference and joined to it. An index written only in part into space
// reserved for it is passed over and the media walked.
// The summary printed names, per track, the samples from the index and from
// the walk, and every damaged span skipped.
// The inputs are never written to.

#include "jobfile.h"
#include "pipereporter.h"
#include "repair.h"
#include "reporter.h"

#include "protocol/contract.h"
#include "protocol/privatefolder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

std::string job_file_path()
{
    return protocol::temp_path(protocol::job_file);
}

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: Vidmend.exe [REFERENCE DAMAGED [FPS] OUTPUT]\n"
                 "  without arguments the job is read from %s\n",
                 job_file_path().c_str());
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
        if (!protocol::read_job_file(job_file_path(), job, error)) {
            std::fprintf(stderr, "Vidmend.exe: %s\n", error.c_str());
            reporter->report(0, vidmend::k_progress_total, vidmend::state_word(vidmend::Outcome::Usage));
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
    // The window takes a report that reaches its total as a finished job and
    // then shows the output: a failure stops short of it.
    const int last = result.outcome == vidmend::Outcome::Done
                         ? vidmend::k_progress_total
                         : std::min(result.progress, vidmend::k_progress_total - 1);
    if (result.outcome != vidmend::Outcome::Stopped)
        reporter->report(last, vidmend::k_progress_total, vidmend::state_word(result.outcome));
    return int(result.outcome);
}
