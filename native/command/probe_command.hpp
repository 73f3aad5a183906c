#pragma once
// `quorlin CONFIG ...` and the raw-key form: plan, probe, print, exit status.

#include "command/command_line.hpp"

namespace quorlin::command {

struct CommandEnd {
    int status = 3;
    // A probe abandoned after Ctrl-C may still be running on its worker
    // thread: the process must end at once (std::_Exit), not run destructors.
    bool probe_still_running = false;
};

CommandEnd run_probe_command(ProbeRequest request);

}  // namespace quorlin::command
