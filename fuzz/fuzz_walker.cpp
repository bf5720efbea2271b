// The repair engine's walk over a damaged file's media data: the first byte
// picks the reference (bit 0: H.264 or HEVC; bits 2-3: with AAC, PCM or two
// AAC tracks) and whether the payload was cut short (bit 1); the rest is the
// payload.

#include "reference.h"
#include "timestamps.h"
#include "walker.h"

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

namespace {

const vidmend::Reference& reference(int index)
{
    static vidmend::Reference refs[6];
    static const bool read = [] {
        av_log_set_level(AV_LOG_QUIET);
        const char* codecs[2] = {"h264", "hevc"};
        const char* audio[3] = {"aac", "pcm", "two"};
        for (int i = 0; i < 6; ++i) {
            const std::string path = std::string(WALKER_REF_DIR "/ref-") + codecs[i % 2] + "-" + audio[i / 2] + ".mov";
            std::string error;
            if (vidmend::read_reference(path, refs[i], error) != vidmend::ReferenceStatus::Ok) {
                std::fprintf(stderr, "fuzz_walker: %s: %s\n", path.c_str(), error.c_str());
                std::abort();
            }
        }
        return true;
    }();
    (void)read;
    return refs[index];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const vidmend::Reference& ref = reference((data[0] & 1) + 2 * ((data[0] >> 2 & 3) % 3));
    const uint64_t payload = size - 1;
    vidmend::Walker walker(ref, data + 1);
    vidmend::WalkResult walk = walker.walk({{0, payload, bool(data[0] & 2)}}, nullptr);
    uint64_t end = 0;
    for (const vidmend::Sample& s : walk.samples) {
        if (s.pos < end || s.size == 0 || s.pos + s.size > payload)
            __builtin_trap();
        end = s.pos + s.size;
    }
    vidmend::assign_timestamps(ref, walk.samples);
    return 0;
}
