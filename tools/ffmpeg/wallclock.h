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
// It is done inside the ffmpeg that reads the source and passes it on as FLV
// (commandline.cpp), with two "setts" bit stream filters per stream, the
// packets counted in FLV's milliseconds: the first notices a jump, measures
// where the wall clock puts it and hands the gap on in the packet's duration
// (each expression of a filter keeps its own registers, so only one of them
// may read the clock); the second moves pts and dts alike by it and restores
// the duration.
std::string wall_clock_filters(double jump_s);

// The first filter logs each jump as a number at debug level; the jump in
// microseconds if `text` is such a line.
std::optional<long long> wall_clock_jump_us(std::string_view text);

} // namespace ffexe
