#include "face.h"

#include "conversionplan.h"
#include "plainrun.h"
#include "relayrun.h"

#include <cstdio>
#include <cstdlib>

namespace ffexe {

bool needs_media(const std::vector<std::string>& args, const Invocation& invocation)
{
    return protocol::read_push(args) || read_conversion(args) || !invocation.hls_playlist.empty();
}

std::unique_ptr<Face> stream_face(std::string program, const std::vector<std::string>& args, long long timeout_us,
                                  Invocation invocation, PlaylistCheck playlist_check)
{
    if (invocation.relayed())
        return std::make_unique<RelayRun>(std::move(program), args, timeout_us, std::move(invocation));
    return std::make_unique<PlainRun>(std::move(program), std::move(invocation), playlist_check);
}

int run_main(int argc, char** argv, const Runner& run)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: FFmpeg.exe [options] -i INPUT [options] OUTPUT\n");
        return 2;
    }
    const char* custom = std::getenv("DAVAZ_FFMPEG");
    return run(custom && *custom ? custom : "ffmpeg", {argv + 1, argv + argc},
               read_timeout_us(std::getenv("DAVAZ_READ_TIMEOUT_MS")));
}

} // namespace ffexe
