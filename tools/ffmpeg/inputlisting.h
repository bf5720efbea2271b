#pragma once

#include <string_view>

namespace ffexe {

// Follows ffmpeg's log far enough to tell whether its input holds a video
// stream: ffmpeg lists the input's streams once it has analysed them, and
// the stream mapping follows the listing.
class InputListing
{
public:
    enum class Verdict { Pending, Video, NoVideo };

    // The verdict once the listing is complete; it does not change after.
    Verdict take_line(std::string_view line);

private:
    bool m_in_input = false;
    bool m_video = false;
    Verdict m_verdict = Verdict::Pending;
};

} // namespace ffexe
