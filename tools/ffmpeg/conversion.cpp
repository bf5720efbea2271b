#include "conversion.h"

#include "commandline.h"
#include "outputwriter.h"
#include "plainrun.h"

#include "protocol/conversion.h"
#include "protocol/privatefolder.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace ffexe {

namespace {

// What the RealMedia writer says of a picture over its packet limit.
constexpr char k_too_big[] = "larger than 64 kB";

// ffmpeg reads FFREPORT's value as options separated by ":", and expands "%" in the name.
std::string report_setting(const std::string& path)
{
    std::string escaped;
    for (const char c : path) {
        if (c == '%')
            escaped += '%';
        else if (c == ':' || c == '\\' || c == '\'')
            escaped += '\\';
        escaped += c;
    }
    return "file=" + escaped + ":level=16"; // errors only
}

// One line of ffmpeg's report as the reason, without the name of the part that
// wrote it; empty for lines that give none.
std::string reason_of(const std::string& line)
{
    std::string text = line;
    if (text.rfind('[', 0) == 0 && text.find(" @ ") != std::string::npos && text.find("] ") != std::string::npos)
        text = text.substr(text.find("] ") + 2);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    // ffmpeg's last word says only that something before it went wrong.
    return text == "Conversion failed!" || text == "Command line:" ? std::string() : text;
}

} // namespace

Conversion::Conversion(std::string program, ConversionRequest request, long long timeout_us)
    : m_program(std::move(program))
    , m_request(std::move(request))
    , m_timeout_us(timeout_us)
    , m_report(protocol::temp_path(("ffmpeg-report-" + std::to_string(::getpid()) + ".log").c_str()))
{}

int Conversion::run()
{
    const std::optional<InputInfo> input = probe_input(m_request.input);
    if (!m_report.empty())
        ::setenv("FFREPORT", report_setting(m_report).c_str(), 1);
    int code = 0;
    std::string why;
    for (size_t box = 0;; ++box) {
        // An input libavformat cannot read goes to ffmpeg as asked: it says what is wrong with it.
        const std::vector<std::string> args = input ? plan_conversion(m_request, *input, box) : m_request.args;
        code = PlainRun(m_program, build_invocation(args, m_timeout_us)).run();
        bool too_big = false;
        why = code == 0 ? std::string() : reason(too_big);
        if (code == 0 || !input || !too_big || box + 1 >= m_request.container->boxes.size())
            break;
        write_all(STDOUT_FILENO, "FFmpeg.exe: a picture is too big for this format at this size; converting again "
                                 "at a smaller one\n");
    }
    if (!m_report.empty())
        std::remove(m_report.c_str());
    if (code == 0) {
        protocol::remove_failure_note(m_request.output);
        return code;
    }
    if (why.empty())
        why = "ffmpeg ended with exit code " + std::to_string(code);
    // Nothing that could pass for the converted file stays behind.
    const bool removed = std::remove(m_request.output.c_str()) == 0;
    protocol::write_failure_note(m_request.output, why);
    write_all(STDOUT_FILENO, "FFmpeg.exe: the conversion failed: " + why +
                                 (removed ? "; the unfinished " + m_request.output + " is removed\n" : "\n"));
    return code;
}

std::string Conversion::reason(bool& too_big) const
{
    std::ifstream report(m_report);
    std::string line, first;
    bool command = false;
    while (std::getline(report, line)) {
        // The report begins with ffmpeg's command line, on the line after its title.
        if (command) {
            command = false;
            continue;
        }
        command = line == "Command line:";
        too_big = too_big || line.find(k_too_big) != std::string::npos;
        if (first.empty())
            first = reason_of(line);
    }
    return first;
}

} // namespace ffexe
