// FFmpeg.exe's finishing of a fragmented MP4 in place: any bytes as the file.

#include "mp4finish.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// The file each input is written to, removed when the fuzzer ends.
struct Scratch
{
    std::string path = "/tmp/fuzz_mp4finish-" + std::to_string(::getpid()) + ".mp4";
    ~Scratch() { std::remove(path.c_str()); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Scratch scratch;
    const std::string& path = scratch.path;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    // A finished file is an ordinary MP4: a second pass finds nothing to do.
    if (ffexe::finish_fragmented_mp4(path) == ffexe::Mp4Finish::Finished &&
        ffexe::finish_fragmented_mp4(path) != ffexe::Mp4Finish::NotFragmented)
        __builtin_trap();
    return 0;
}
