#pragma once
// `quorlin exporter ...`: the exporter (exporter/exporter.hpp) with the
// single probe's success rule and the command's error lines.

#include "command/exporter_command_line.hpp"
#include "command/probe_command.hpp"

namespace quorlin::command {

CommandEnd run_exporter_command(const ExporterRequest& request);

}  // namespace quorlin::command
