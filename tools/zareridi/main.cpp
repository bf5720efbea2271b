// ZaReridi.exe: the player the conversion window starts on a converted file.
//   ZaReridi.exe -play FILE
// The stock ffplay does the playing; DAVAZ_FFPLAY names another engine. When
// FILE was never made because its conversion failed, the player's window says
// why, as the transcoder left it.

#include "protocol/conversion.h"
#include "protocol/privatefolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

// Runs the engine; returns only when it cannot be started.
int play(const char* engine, std::vector<std::string> args)
{
    std::vector<const char*> argv{engine};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    execvp(engine, const_cast<char* const*>(argv.data()));
    std::fprintf(stderr, "ZaReridi.exe: cannot start the player %s: %s\n", engine, std::strerror(errno));
    return 1;
}

// `text` broken into lines of about `width` bytes at its spaces.
std::string wrapped(const std::string& text, size_t width)
{
    std::string out, line;
    size_t from = 0;
    while (from <= text.size()) {
        size_t space = text.find(' ', from);
        if (space == std::string::npos)
            space = text.size();
        const std::string word = text.substr(from, space - from);
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        from = space + 1;
    }
    return out + line;
}

// The engine shows a picture of the message instead of the file.
int tell(const char* engine, const std::string& file, const std::string& why)
{
    std::fprintf(stderr, "ZaReridi.exe: %s was not made: %s\n", file.c_str(), why.c_str());
    const std::string text_path = protocol::temp_path("zareridi-message.txt");
    // The path goes into a filter's option in quotes.
    if (text_path.empty() || text_path.find('\'') != std::string::npos)
        return 1;
    {
        std::ofstream text(text_path, std::ios::trunc);
        text << "转换失败，没有可以播放的文件。\nThe conversion failed: there is nothing to play.\n\n"
             << wrapped(base_name(file), 60) << "\n"
             << wrapped(why, 60) << "\n";
        if (!text.flush())
            return 1;
    }
    const std::string picture = "color=c=0x202020:s=720x240:r=5,drawtext=textfile='" + text_path +
                                "':font='WenQuanYi Micro Hei':fontsize=20:fontcolor=white:x=24:y=24:line_spacing=8";
    return play(engine,
                {"-hide_banner", "-loglevel", "error", "-window_title", base_name(file), "-f", "lavfi", picture});
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3 || std::strcmp(argv[1], "-play") != 0)
        return usage("expected exactly the arguments -play and a file");

    const char* engine = std::getenv("DAVAZ_FFPLAY");
    if (!engine || !*engine)
        engine = "ffplay";
    const std::string file = argv[2];
    struct stat st
    {};
    if (file.empty() || stat(file.c_str(), &st) != 0) {
        if (const std::optional<std::string> why = protocol::read_failure_note(file))
            return tell(engine, file, *why);
        return usage(("no such file: " + file).c_str());
    }
    if (!S_ISREG(st.st_mode))
        return usage(("not a file: " + file).c_str());
    return play(engine, {"-hide_banner", "-loglevel", "error", "-window_title", base_name(file), "-autoexit", file});
}
