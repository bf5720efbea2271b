#pragma once

#include "protocol/repair.h"

namespace vidmend {

// What to repair: the job file's four lines, or the command line.
using Job = protocol::RepairJob;

} // namespace vidmend
