#pragma once
// The command line, parsed with CLI11 into plain values. The single probe's
// options sit on the command itself (`quorlin CONFIG ...`); the other modes
// attach as subcommands (`quorlin fleet ...`, `quorlin exporter ...`) beside it.

#include "command/exporter_command_line.hpp"
#include "command/fleet_command_line.hpp"
#include "command/probe_command_line.hpp"

#include <string>
#include <string_view>
#include <variant>

namespace quorlin::command {

// Help or version: print the text, exit 0.
struct Informational {
    std::string text;
};

// A usage error: the usage text and "quorlin: MESSAGE" on stderr, exit 3.
struct UsageFailure {
    std::string message;
};

using ParsedCommandLine = std::variant<ProbeRequest, FleetRequest, ExporterRequest, Informational, UsageFailure>;

ParsedCommandLine parse_command_line(int argc, const char* const* argv);

// The short usage printed before a usage error's message.
extern const std::string_view usage_text;

}  // namespace quorlin::command
