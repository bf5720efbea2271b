#pragma once

#include <string>

namespace ffexe {

// True when the HLS playlist at `url` (or, for a list of variants, its first
// variant) says it is complete (#EXT-X-ENDLIST). False when it does not, or
// cannot be read within `timeout_us`.
bool playlist_ended(const std::string& url, long long timeout_us);

} // namespace ffexe
