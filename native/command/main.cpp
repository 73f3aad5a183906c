// The `quorlin` executable.
#include "command/command.hpp"
#include "command/interruptible_run.hpp"
#include "common/standard_streams.hpp"

#include <cstdlib>

int main(int argc, char** argv) {
    quorlin::keep_standard_streams_taken();
    quorlin::command::prepare_signals();
    const quorlin::command::CommandEnd end = quorlin::command::run_command(argc, argv);
    if (end.probe_still_running) std::_Exit(end.status);
    return end.status;
}
