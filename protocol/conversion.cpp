#include "conversion.h"

#include "privatefolder.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace protocol {

namespace {

constexpr char copy_option[] = "-zo_copy";
constexpr char note_prefix[] = "zo_failed_";

// The note's name: the output's path hashed (64-bit FNV-1a), so that any path
// gives a plain file name; the path inside tells a collision apart.
std::string note_path(const std::string& output)
{
    uint64_t hash = 14695981039346656037ULL;
    for (const unsigned char c : output)
        hash = (hash ^ c) * 1099511628211ULL;
    char name[sizeof(note_prefix) + 16];
    std::snprintf(name, sizeof name, "%s%016" PRIx64, note_prefix, hash);
    return temp_path(name);
}

} // namespace

std::vector<std::string> copy_request()
{
    return {copy_option};
}

bool take_copy_request(std::vector<std::string>& args)
{
    if (args.size() < 2)
        return false;
    const auto last = args.end() - 1;
    const auto found = std::find(args.begin(), last, copy_option);
    if (found == last)
        return false;
    args.erase(found);
    return true;
}

bool write_failure_note(const std::string& output, const std::string& why)
{
    const std::string path = note_path(output);
    if (path.empty() || output.find_first_of("\r\n") != std::string::npos)
        return false;
    // Whole or not at all: the player may read it at any time.
    const std::string part = path + ".part";
    {
        std::ofstream out(part, std::ios::trunc);
        out << output << '\n' << why.substr(0, why.find_first_of("\r\n")) << '\n';
        if (!out.flush())
            return false;
    }
    return std::rename(part.c_str(), path.c_str()) == 0;
}

std::optional<std::string> read_failure_note(const std::string& output)
{
    const std::string path = note_path(output);
    std::ifstream in(path);
    std::string named, why;
    if (path.empty() || !std::getline(in, named) || named != output || !std::getline(in, why))
        return std::nullopt;
    return why;
}

void remove_failure_note(const std::string& output)
{
    const std::string path = note_path(output);
    if (!path.empty())
        ::unlink(path.c_str());
}

} // namespace protocol
