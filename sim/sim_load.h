// velta-sim: loading, the device's side of a transfer the PC sends.
#pragma once

#include "sim_line.h"
#include "sim_options.h"

namespace sim {

// Runs options.sessions transfers on the line; the exit status.
int RunLoad(const Options& options, Line& line);

}  // namespace sim
