#pragma once

#include <cstdint>
#include <string>

namespace vidmend {

// A whole file mapped read-only: the walker touches only the bytes it needs,
// and the damaged file can never be changed through it.
class MappedFile
{
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // False with `error` set when the file cannot be opened or mapped.
    bool open(const std::string& path, std::string& error);

    const uint8_t* data() const { return m_data; }
    uint64_t size() const { return m_size; }

private:
    const uint8_t* m_data = nullptr;
    uint64_t m_size = 0;
};

} // namespace vidmend
