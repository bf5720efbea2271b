#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace vidmend {

// A repaired file as it is written, with the progress of its bytes.
class OutputFile
{
public:
    // written and total bytes; false stops the writing
    using Progress = std::function<bool(uint64_t, uint64_t)>;

    OutputFile(const std::string& path, const Progress& progress);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The total the progress counts towards.
    void expect(uint64_t total) { m_total = total; }
    uint64_t position() const { return m_written; }
    bool good() const { return m_error.empty() && !m_stopped; }
    bool stopped() const { return m_stopped; }

    void put(const uint8_t* data, uint64_t size);
    void put(const std::vector<uint8_t>& bytes) { put(bytes.data(), bytes.size()); }

    // False with `error` set when anything failed or the writing was stopped.
    bool close(std::string& error);

private:
    FILE* m_file;
    std::string m_path;
    Progress m_progress;
    uint64_t m_total = 0;
    uint64_t m_written = 0;
    std::string m_error;
    bool m_stopped = false;
};

} // namespace vidmend
