#include "face.h"

// What FFmpeg.exe hands on when the request reads media itself; the same arguments.
int main(int argc, char** argv)
{
    return ffexe::run_main(argc, argv,
                           [](std::string program, const std::vector<std::string>& args, long long timeout) {
                               return ffexe::face_for(std::move(program), args, timeout)->run();
                           });
}
