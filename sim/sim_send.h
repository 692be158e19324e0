// velta-sim: sending, the device's side of a transfer the PC receives.
#pragma once

#include "sim_line.h"
#include "sim_options.h"

namespace sim {

// Sends options.sendFile as asked; the exit status.
int RunSend(const Options& options, Line& line);

}  // namespace sim
