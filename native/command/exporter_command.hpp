#pragma once
// `quorlin exporter ...`: the exporter (exporter/exporter.hpp) with the
// command's error lines and exit status.

#include "command/command.hpp"
#include "command/exporter_command_line.hpp"

namespace quorlin::command {

CommandEnd run_exporter_command(const ExporterRequest& request);

}  // namespace quorlin::command
