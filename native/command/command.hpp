#pragma once
// The command as a whole, and what every mode shares: how a mode ends, and
// the answer when there is no report to print.

#include "command/output_options.hpp"

#include <string_view>

namespace quorlin::command {

struct CommandEnd {
    int status = unknown_exit_status;
    // A probe abandoned after Ctrl-C may still be running on its worker
    // thread: the process must end at once (std::_Exit), not run destructors.
    bool probe_still_running = false;
};

// Parses the command line and runs the mode it asks for.
CommandEnd run_command(int argc, const char* const* argv);

// No report: one line on stderr, and for a monitoring system, which reads
// only stdout, the plugin line as well.
void print_unknown(std::string_view message, OutputFormat format);

}  // namespace quorlin::command
