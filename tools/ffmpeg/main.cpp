#include "face.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// The media program beside this one, wherever the two were installed.
std::string media_program()
{
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, size_t(n)) : std::string();
    dir.erase(dir.find_last_of('/') + 1);
    return dir + ffexe::k_media_program;
}

} // namespace

int main(int argc, char** argv)
{
    return ffexe::run_main(
        argc, argv, [argv](std::string program, const std::vector<std::string>& args, long long timeout) {
            ffexe::Invocation invocation = ffexe::build_invocation(args, timeout);
            if (ffexe::needs_media(args, invocation)) {
                // Same process, same arguments: whoever started FFmpeg.exe still holds it.
                const std::string media = media_program();
                ::execv(media.c_str(), argv);
                std::fprintf(stderr, "FFmpeg.exe: cannot run %s: %s\n", media.c_str(), std::strerror(errno));
                return 127;
            }
            return ffexe::stream_face(std::move(program), args, timeout, std::move(invocation), nullptr)->run();
        });
}
