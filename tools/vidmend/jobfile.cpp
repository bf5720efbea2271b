#include "jobfile.h"

#include "platform/contract.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace vidmend {

std::string job_file_path()
{
    return contract::temp_path(contract::job_file);
}

bool parse_job_text(const std::string& text, Job& job, std::string& error)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; lines.size() < 4 && std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    if (lines.size() < 4 || lines[0].empty() || lines[1].empty() || lines[3].empty()) {
        error = "the job file needs four lines: reference, damaged file, frame rate, output";
        return false;
    }
    job.reference = lines[0];
    job.damaged = lines[1];
    char* end = nullptr;
    const long fps = std::strtol(lines[2].c_str(), &end, 10);
    job.fps = end != lines[2].c_str() && fps > 0 && fps < 1000 ? int(fps) : 0;
    job.output = lines[3];
    return true;
}

bool read_job_file(const std::string& path, Job& job, std::string& error)
{
    if (path.empty()) {
        error = contract::temp_folder().message();
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read the job file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parse_job_text(text.str(), job, error);
}

} // namespace vidmend
