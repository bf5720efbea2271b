#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

namespace ffexe {

// A capture to ".mp4" is recorded as a fragmented MP4, so that whatever is on
// disk when everything is killed still plays. When the capture ends normally
// the file is turned, in place, into an ordinary MP4: one full index ('moov')
// is appended after the media, and the fragment headers and the empty initial
// index are turned into free space. No media byte moves, so the time taken
// depends on the number of samples, not on the file's size.
enum class Mp4Finish {
    Finished,      // the file is now an ordinary MP4
    NotFragmented, // nothing to do: not a fragmented MP4 (or no such file)
    Failed,        // left as it was; `error` says why
};

// How the finisher writes to the file: pwrite(), unless a test makes a write fail.
using PositionedWrite = std::function<ssize_t(int fd, const void* data, size_t size, off_t offset)>;

// A write that fails on the way leaves the file as it was, and `error` says so.
Mp4Finish finish_fragmented_mp4(const std::string& path, std::string* error = nullptr, PositionedWrite write = {});

} // namespace ffexe
