#include "mappedfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vidmend {

MappedFile::~MappedFile()
{
    if (m_data && m_size)
        munmap(const_cast<uint8_t*>(m_data), m_size);
}

bool MappedFile::open(const std::string& path, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        ::close(fd);
        return false;
    }
    m_size = uint64_t(st.st_size);
    if (m_size == 0) {
        ::close(fd);
        return true;
    }
    void* map = mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fd, 0);
    const int saved = errno;
    ::close(fd);
    if (map == MAP_FAILED) {
        error = path + ": " + std::strerror(saved);
        m_size = 0;
        return false;
    }
    madvise(map, m_size, MADV_SEQUENTIAL);
    m_data = static_cast<const uint8_t*>(map);
    return true;
}

} // namespace vidmend
