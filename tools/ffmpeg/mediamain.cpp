#include "commandline.h"
#include "face.h"

#include <cstdio>
#include <cstdlib>

// What FFmpeg.exe hands on when the request reads media itself; the same arguments.
int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: FFmpeg.exe [options] -i INPUT [options] OUTPUT\n");
        return 2;
    }
    const char* custom = std::getenv("DAVAZ_FFMPEG");
    const long long timeout = ffexe::read_timeout_us(std::getenv("DAVAZ_READ_TIMEOUT_MS"));
    return ffexe::face_for(custom && *custom ? custom : "ffmpeg", {argv + 1, argv + argc}, timeout)->run();
}
