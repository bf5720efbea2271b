#include "commandline.h"
#include "conversion.h"
#include "listpush.h"
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

    // A play list over one connection: the window names each entry after the first.
    if (std::optional<ffexe::ListPlan> plan = ffexe::list_plan({argv + 1, argv + argc}))
        return ffexe::ListPush(std::move(program), std::move(*plan)).run();

    const long long timeout = ffexe::read_timeout_us(std::getenv("DAVAZ_READ_TIMEOUT_MS"));
    // A local file into one of the formats the conversion window offers.
    if (std::optional<ffexe::ConversionRequest> request = ffexe::read_conversion({argv + 1, argv + argc}))
        return ffexe::Conversion(std::move(program), std::move(*request), timeout).run();
    ffexe::Transcoder transcoder(std::move(program), ffexe::build_invocation({argv + 1, argv + argc}, timeout));
    return transcoder.run();
}
