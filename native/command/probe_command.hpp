#pragma once
// `quorlin CONFIG ...` and the raw-key form: plan, probe, print, exit status.

#include "command/command.hpp"
#include "command/probe_command_line.hpp"

namespace quorlin::command {

CommandEnd run_probe_command(ProbeRequest request);

}  // namespace quorlin::command
