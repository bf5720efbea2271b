#include "commandline.h"
#include "transcoder.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: FFmpeg.exe [options] -i INPUT [options] OUTPUT\n");
        return 2;
    }
    // Tests point this at another ffmpeg (or at nothing).
    const char* custom = std::getenv("DAVAZ_FFMPEG");
    std::string program = custom && *custom ? custom : "ffmpeg";

    const long long timeout = ffexe::read_timeout_us(std::getenv("DAVAZ_READ_TIMEOUT_MS"));
    ffexe::Transcoder transcoder(std::move(program), ffexe::build_invocation({argv + 1, argv + argc}, timeout));
    return transcoder.run();
}
