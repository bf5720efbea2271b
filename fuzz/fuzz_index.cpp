// The repair engine's reading of a damaged file's own index (movie box and
// fragment headers) and the rebuilt file it writes from it: any bytes as the file.

#include "boxes.h"
#include "indexrepair.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const vidmend::FileLayout layout = vidmend::scan_boxes(data, size);
    vidmend::IndexRepair indexed(data, size, layout);
    if (indexed.state() == vidmend::IndexState::Cut && indexed.kept() > 0) {
        std::string error;
        indexed.write("/dev/null", nullptr, error);
    }
    return 0;
}
