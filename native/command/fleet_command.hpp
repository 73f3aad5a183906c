#pragma once
// `quorlin fleet FLEET.toml ...`: read and check the whole fleet file, probe
// the targets on worker threads (fleet/fleet_run.hpp), print each outcome as
// it comes (fleet_printer.hpp); the exit status is the worst over the
// targets. Ctrl-C: no new probe starts, the running ones end by their
// deadlines, what finished is printed, status 3; a second Ctrl-C ends at once,
// and so does SIGTERM.

#include "command/command.hpp"
#include "command/fleet_command_line.hpp"

namespace quorlin::command {

CommandEnd run_fleet_command(FleetRequest request);

}  // namespace quorlin::command
