#pragma once

#include <string>

namespace vidmend {

// What to repair: the four lines of the job file, or the command line.
struct Job
{
    std::string reference;
    std::string damaged;
    std::string output;
    int fps = 0; // the reference's rounded frame rate as the window probed it; 0 if unknown
};

// The job file the repair window writes, in the user's temporary folder;
// empty when that folder is refused.
std::string job_file_path();

// Four lines: reference, damaged, fps, output, ending in LF or CR LF.
bool parse_job_text(const std::string& text, Job& job, std::string& error);
bool read_job_file(const std::string& path, Job& job, std::string& error);

} // namespace vidmend
