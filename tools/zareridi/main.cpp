// ZaReridi.exe: the player the conversion window starts on a converted file.
//   ZaReridi.exe -play FILE
// The stock ffplay does the playing; DAVAZ_FFPLAY names another engine.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int usage(const char* why)
{
    std::fprintf(stderr, "ZaReridi.exe: %s\nusage: ZaReridi.exe -play FILE\n", why);
    return 2;
}

std::string base_name(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3 || std::strcmp(argv[1], "-play") != 0)
        return usage("expected exactly the arguments -play and a file");

    const std::string file = argv[2];
    struct stat st
    {};
    if (file.empty() || stat(file.c_str(), &st) != 0)
        return usage(("no such file: " + file).c_str());
    if (!S_ISREG(st.st_mode))
        return usage(("not a file: " + file).c_str());

    const char* engine = std::getenv("DAVAZ_FFPLAY");
    if (!engine || !*engine)
        engine = "ffplay";
    const std::string title = base_name(file);
    std::vector<const char*> args = {engine,        "-hide_banner", "-loglevel",  "error", "-window_title",
                                     title.c_str(), "-autoexit",    file.c_str(), nullptr};
    execvp(engine, const_cast<char* const*>(args.data()));
    std::fprintf(stderr, "ZaReridi.exe: cannot start the player %s: %s\n", engine, std::strerror(errno));
    return 1;
}
