#pragma once

#include "reporter.h"

namespace vidmend {

// Sends each report to the repair window over the repair pipe, one
// connection per report. The window's reply says when the user has closed
// its progress dialog.
class PipeReporter : public Reporter
{
public:
    bool report(int progress, int total, const std::string& state) override;
};

} // namespace vidmend
