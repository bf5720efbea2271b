#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ffexe {

// A recording of a live FLV source keeps the time of the wall clock across a
// restarted publisher: the new stream's time stamps, from zero again, are put
// where the wall clock says they came, so the file keeps the outage as a held
// picture and runs as long as the recording did. ffmpeg's own evening out
// would close the outage up.
//
// It is done inside ffmpeg, with two "setts" bit stream filters per stream:
// the first notices a jump, measures where the wall clock puts it and hands
// the gap on in the packet's duration (each expression of a filter keeps its
// own registers, so only one of them may read the clock); the second moves
// pts and dts alike by it and restores the duration.
//
// `tick` is the length of the packets' time unit in seconds as an expression:
// ffmpeg hands the filters packets in the muxer's time base, which its "TB"
// does not always tell, so the caller names it ("TB" where it does).
std::string wall_clock_filters(double jump_s, const std::string& tick);

// The first filter logs each jump as a number at debug level; the jump in
// microseconds if `text` is such a line.
std::optional<long long> wall_clock_jump_us(std::string_view text);

} // namespace ffexe
