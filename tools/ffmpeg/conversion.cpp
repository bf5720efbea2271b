#include "conversion.h"

#include "commandline.h"
#include "outputwriter.h"
#include "plainrun.h"
#include "realmedia.h"

#include "protocol/conversion.h"
#include "protocol/privatefolder.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

namespace ffexe {

namespace {

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
    // An input libavformat cannot read goes to ffmpeg as asked: it says what is wrong with it.
    const ConversionPlan plan = input ? plan_conversion(m_request, *input) : ConversionPlan{m_request.args, false};
    PlainRun ffmpeg(m_program, build_invocation(plan.args, m_timeout_us));
    std::string written;
    if (plan.encoded_here) {
        // The encoder's remarks would reach the window as if they were ffmpeg's
        // log; what matters of them comes back as the writer's reason.
        av_log_set_level(AV_LOG_QUIET);
        RealMediaSettings settings;
        settings.bit_rate = bitrate_of(m_request);
        settings.seconds = input->duration;
        ffmpeg.read_output(
            [this, &written, settings](int fd) { written = write_real_media(fd, m_request.output, settings); });
    }
    int code = ffmpeg.run();
    std::string why = code == 0 ? std::string() : reason();
    // When the writer stopped, ffmpeg only complains that nobody reads it; when
    // ffmpeg stopped first, the writer only that too little came.
    if (!written.empty() && (why.empty() || !written_short(written))) {
        why = written;
        code = code == 0 ? 1 : code;
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

std::string Conversion::reason() const
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
        if (first.empty())
            first = reason_of(line);
    }
    return first;
}

} // namespace ffexe
