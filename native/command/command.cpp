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

namespace {

// Whether --nagios was asked, read from the words themselves: a command line
// that CLI11 refused says nothing, yet the monitoring system reads only stdout.
bool nagios_asked(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--") return false;
        if (word == "--nagios" || word.starts_with("--nagios=")) return true;
    }
    return false;
}

}  // namespace

CommandEnd run_command(int argc, const char* const* argv) {
    ParsedCommandLine parsed = parse_command_line(argc, argv);
    return std::visit(
        [argc, argv](auto& what) -> CommandEnd {
            using Kind = std::decay_t<decltype(what)>;
            if constexpr (std::is_same_v<Kind, Informational>) {
                return {print_output(what.text) ? 0 : unknown_exit_status, false};
            } else if constexpr (std::is_same_v<Kind, UsageFailure>) {
                (void)write_all(STDERR_FILENO, usage_text);
                print_unknown(what.message, nagios_asked(argc, argv) ? OutputFormat::nagios : OutputFormat::table);
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
