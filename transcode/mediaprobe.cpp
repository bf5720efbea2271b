#include "mediaprobe.h"

bool probe_media_file(const char*, MediaInfo* info)
{
    *info = MediaInfo{}; // placeholder
    return false;
}
