#include "command/command.hpp"

#include "command/output.hpp"

#include <unistd.h>

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace quorlin::command {

CommandEnd run_command(int argc, const char* const* argv) {
    constexpr int unknown_status = exit_status(ServiceState::unknown);
    ParsedCommandLine parsed = parse_command_line(argc, argv);
    return std::visit(
        [argv](auto& what) -> CommandEnd {
            using Kind = std::decay_t<decltype(what)>;
            if constexpr (std::is_same_v<Kind, Informational>) {
                return {print_output(what.text) ? 0 : unknown_status, false};
            } else if constexpr (std::is_same_v<Kind, UsageFailure>) {
                (void)write_all(STDERR_FILENO, usage_text);
                print_error(what.message);
                return {unknown_status, false};
            } else if constexpr (std::is_same_v<Kind, ExporterRequest>) {
                return run_exporter_command(what, argv);
            } else if constexpr (std::is_same_v<Kind, FleetRequest>) {
                return run_fleet_command(std::move(what));
            } else {
                return run_probe_command(std::move(what));
            }
        },
        parsed);
}

}  // namespace quorlin::command
