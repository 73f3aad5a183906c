// The `quorlin` executable.
#include "command/command.hpp"
#include "command/interruptible_run.hpp"

#include <cstdlib>

int main(int argc, char** argv) {
    quorlin::command::prepare_signals();
    const quorlin::command::CommandEnd end = quorlin::command::run_command(argc, argv);
    if (end.probe_still_running) std::_Exit(end.status);
    return end.status;
}
