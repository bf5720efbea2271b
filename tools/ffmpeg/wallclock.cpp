#include "wallclock.h"

#include <cstdlib>

namespace ffexe {

namespace {

// A jump is logged as this plus its size in milliseconds: far beyond any
// other number ffmpeg would print on a line of its own.
constexpr double k_mark = 9e12;
constexpr const char* k_mark_text = "9e12";
// The gap rides in the duration as multiples of this, well above any real
// packet's duration in ticks.
constexpr const char* k_unit = "1048576";

} // namespace

std::string wall_clock_filters(double jump_s)
{
    // Written with the unit, a millisecond, as @ and with plain commas; ffmpeg's
    // filter list needs the commas escaped.
    const auto filter = [](const std::string& expr) {
        std::string out;
        for (const char c : expr)
            out += c == '@' ? std::string("0.001") : c == ',' ? std::string("\\,") : std::string(1, c);
        return out;
    };
    // Registers: 0 the offset in ticks; 1 the least lag behind the wall clock
    // seen, the live edge; 2 now; 3 a jump; 4 the gap in ticks; 5 when the
    // first packet came; 6 the live edge is known; 7 settled. Jumps count, and
    // the live edge is learnt, only a second after the first packet: what
    // ffmpeg analysed before the start comes all at once.
    const std::string jump = std::to_string(jump_s);
    const std::string measure =
        filter("st(2,time(0));"
               "if(eq(N,0),st(5,ld(2)));"
               "st(7,gt(ld(2)-ld(5),1));"
               "st(3,ld(6)*gt(lt(DTS,PREV_INDTS)+gt((DTS-PREV_INDTS)*@," +
               jump +
               "),0));"
               "if(ld(3),print(" +
               std::string(k_mark_text) +
               "+(DTS-PREV_INDTS)*@*1000,48);"
               "st(4,max(PREV_INDTS+ld(0)+1,floor((ld(2)-ld(1))/@))-PREV_INDTS-ld(0));"
               "st(0,PREV_INDTS+ld(0)+ld(4)-DTS));"
               "if(ld(7),st(1,if(ld(6),min(ld(1),ld(2)-(DTS+ld(0))*@),ld(2)-(DTS+ld(0))*@));st(6,1));"
               "DURATION+ld(3)*" +
               std::string(k_unit) + "*ld(4)");
    const std::string unit = k_unit;
    const std::string rebase =
        filter("if(gte(DURATION," + unit + "),st(0,PREV_OUTDTS+floor(DURATION/" + unit + ")-DTS));");
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
