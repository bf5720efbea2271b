#include "outputfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vidmend {

OutputFile::OutputFile(const std::string& path, const Progress& progress)
    : m_file(std::fopen(path.c_str(), "wb"))
    , m_path(path)
    , m_progress(progress)
{
    if (!m_file)
        m_error = "cannot create " + path + ": " + std::strerror(errno);
}

OutputFile::~OutputFile()
{
    if (m_file)
        std::fclose(m_file);
}

void OutputFile::put(const uint8_t* data, uint64_t size)
{
    // Large copies go in steps, so that a stop is heard and the window sees progress.
    constexpr uint64_t k_step = 8u << 20;
    while (size > 0 && good()) {
        const uint64_t n = std::min(size, k_step);
        if (std::fwrite(data, 1, size_t(n), m_file) != n)
            m_error = "cannot write " + m_path + ": " + std::strerror(errno);
        data += n;
        size -= n;
        m_written += n;
        if (m_progress && !m_progress(m_written, std::max(m_total, m_written)))
            m_stopped = true;
    }
}

bool OutputFile::close(std::string& error)
{
    if (m_file && std::fclose(m_file) != 0 && m_error.empty())
        m_error = "cannot finish " + m_path + ": " + std::strerror(errno);
    m_file = nullptr;
    error = m_error;
    return good();
}

} // namespace vidmend
