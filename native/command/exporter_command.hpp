#pragma once
// `quorlin exporter ...`: the exporter (exporter/exporter.hpp) with the
// command's error lines and exit status.
//
// The exporter's libraries load the shared C++ runtime, while the quorlin
// executable carries its own (it starts once per check), and one process must
// not hold two. So the exporter is an executable of its own, and each of the
// two executables links one definition of run_exporter_command:
//   quorlin           exporter_handoff.cpp: replaces itself with the exporter's
//                     executable, handing on the command line as it came
//   quorlin-exporter  exporter_command.cpp: runs the request in this process

#include "command/command.hpp"
#include "command/exporter_command_line.hpp"

namespace quorlin::command {

// `argv` is the whole command line, as main received it.
CommandEnd run_exporter_command(const ExporterRequest& request, const char* const* argv);

}  // namespace quorlin::command
