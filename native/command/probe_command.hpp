#pragma once
// `quorlin CONFIG ...` and the raw-key form: plan, probe, print, exit status.

#include "command/command_line.hpp"

#include <string_view>

namespace quorlin::command {

struct CommandEnd {
    int status = 3;
    // A probe abandoned after Ctrl-C may still be running on its worker
    // thread: the process must end at once (std::_Exit), not run destructors.
    bool probe_still_running = false;
};

CommandEnd run_probe_command(ProbeRequest request);

// No report: one line on stderr, and for a monitoring system, which reads
// only stdout, the plugin line as well.
void print_unknown(std::string_view message, OutputFormat format);

}  // namespace quorlin::command
