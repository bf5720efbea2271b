#pragma once

#include "conversionplan.h"
#include "face.h"

#include <string>

namespace ffexe {

// Runs a conversion: probes the input, fits it to the output's container and
// runs ffmpeg (writing RealMedia itself, from ffmpeg's raw pictures). When no
// file comes of it, says why in one line, removes what
// was written and leaves the reason for the player; a success clears it.
class Conversion : public Face
{
public:
    Conversion(std::string program, ConversionRequest request, long long timeout_us);

    // ffmpeg's exit code, as the plain run gives it.
    int run() override;

private:
    // ffmpeg's first error line, without its "[name @ address]"; empty when it said none.
    std::string reason() const;

    std::string m_program;
    ConversionRequest m_request;
    long long m_timeout_us;
    std::string m_report; // ffmpeg's errors go here too
};

} // namespace ffexe
