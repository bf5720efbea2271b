// The play list's reading of "player.list": any bytes as the file.

#include "widgets/playlistfile.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!file)
        return 0;
    for (const QString& line : read_playlist_lines(file)) {
        if (line.isEmpty() || line.size() > 511 || line.front().isSpace() || line.back().isSpace())
            __builtin_trap();
    }
    std::fclose(file);
    return 0;
}
