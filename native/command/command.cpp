#include "command/command.hpp"

#include "command/command_line.hpp"
#include "command/exporter_command.hpp"
#include "command/fd_writes.hpp"
#include "command/fleet_command.hpp"
#include "command/nagios_line.hpp"
#include "command/probe_command.hpp"

#include <unistd.h>

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace quorlin::command {

void print_unknown(std::string_view message, OutputFormat format) {
    print_error(message);
    if (format == OutputFormat::nagios) (void)print_output(nagios_unknown_line(message));
}

CommandEnd run_command(int argc, const char* const* argv) {
    ParsedCommandLine parsed = parse_command_line(argc, argv);
    return std::visit(
        [argv](auto& what) -> CommandEnd {
            using Kind = std::decay_t<decltype(what)>;
            if constexpr (std::is_same_v<Kind, Informational>) {
                return {print_output(what.text) ? 0 : unknown_exit_status, false};
            } else if constexpr (std::is_same_v<Kind, UsageFailure>) {
                (void)write_all(STDERR_FILENO, usage_text);
                print_error(what.message);
                return {unknown_exit_status, false};
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
