#include "wallclock.h"

#include <cstdlib>

namespace ffexe {

namespace {

// A jump is logged as this plus its size in milliseconds: far beyond any
// other number ffmpeg would print on a line of its own.
constexpr double k_mark = 9e12;
// The gap rides in the duration as multiples of this, well above any real
// packet's duration in ticks.
constexpr const char* k_unit = "1048576";

} // namespace

std::string wall_clock_filters(double jump_s, const std::string& tick)
{
    const std::string jump = std::to_string(jump_s);
    const auto ticks = [&tick](std::string expr) {
        for (size_t at = expr.find("TB"); at != std::string::npos; at = expr.find("TB", at + tick.size() + 2))
            expr.replace(at, 2, "(" + tick + ")");
        return expr;
    };
    const std::string unit = k_unit;
    // Registers: 0 the offset in ticks, 1 the least lag behind the wall clock
    // seen (the live edge), 2 now, 3 a jump, 4 the gap in ticks. Commas are
    // escaped for ffmpeg's filter list.
    const std::string measure = ticks("st(2\\,time(0));"
                                      "st(3\\,gt(N\\,0)*gt(lt(DTS\\,PREV_INDTS)+gt((DTS-PREV_INDTS)*TB\\," +
                                      jump +
                                      ")\\,0));"
                                      "if(ld(3)\\,print(9e12+(DTS-PREV_INDTS)*TB*1000\\,48);"
                                      "st(4\\,max(PREV_INDTS+ld(0)+1\\,floor((ld(2)-ld(1))/TB))-PREV_INDTS-ld(0));"
                                      "st(0\\,PREV_INDTS+ld(0)+ld(4)-DTS));"
                                      "st(1\\,if(gt(N\\,0)\\,min(ld(1)\\,ld(2)-(DTS+ld(0))*TB)\\,ld(2)-DTS*TB));"
                                      "DURATION+ld(3)*" +
                                      unit + "*ld(4)");
    const std::string rebase =
        "if(gte(DURATION\\," + unit + ")\\,st(0\\,PREV_OUTDTS+floor(DURATION/" + unit + ")-DTS));";
    // A filter without a pts expression would give every packet its dts as pts.
    return "setts=pts=PTS:dts=DTS:duration=" + measure + ",setts=pts=" + rebase + "PTS+ld(0):dts=" + rebase +
           "DTS+ld(0):duration=DURATION-" + unit + "*floor(DURATION/" + unit + ")";
}

std::optional<long long> wall_clock_jump_us(std::string_view text)
{
    const std::string line(text);
    char* end = nullptr;
    const double value = std::strtod(line.c_str(), &end);
    if (end == line.c_str() || *end != '\0' || value < k_mark - 1e12 || value > k_mark + 1e12)
        return std::nullopt;
    return static_cast<long long>((value - k_mark) * 1000);
}

} // namespace ffexe
