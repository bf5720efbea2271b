// FFmpeg.exe's readers of ffmpeg's progress blocks and log lines: any bytes,
// split at any place.

#include "childlog.h"
#include "progressrecord.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    // The first byte picks where the stream is cut in two reads.
    const size_t cut = size ? data[0] % (size + 1) : 0;
    ffexe::ProgressParser progress;
    ffexe::ChildLog log(nullptr, ffexe::ChildLog::Mode::Filtered);
    ffexe::InputListing listing;
    log.on_line = [&](std::string_view line) { listing.take_line(line); };
    const auto now = ffexe::ChildLog::Clock::now();
    for (auto [from, n] : {std::pair{size_t(0), cut}, std::pair{cut, size - cut}}) {
        for (const ffexe::ProgressBlock& block : progress.feed(bytes + from, n)) {
            const std::string record = ffexe::format_record(block);
            if (record.empty() || record.back() != '\n' || record.rfind("zo_progress|", 0) != 0)
                __builtin_trap();
        }
        log.feed(bytes + from, n, now);
    }
    log.finish(now);
    return 0;
}
