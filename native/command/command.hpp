#pragma once
// The command as a whole: parse the command line, run the mode it asks for.

#include "command/exporter_command.hpp"
#include "command/fleet_command.hpp"
#include "command/interruptible_run.hpp"
#include "command/probe_command.hpp"

namespace quorlin::command {

CommandEnd run_command(int argc, const char* const* argv);

}  // namespace quorlin::command
