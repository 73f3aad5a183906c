#pragma once
// The command line, parsed with CLI11 into plain values. The single probe's
// options sit on the command itself (`quorlin CONFIG ...`); later modes attach
// as subcommands (`quorlin fleet ...`, `quorlin exporter ...`) beside it and
// reuse the output options.

#include "command/exporter_command_line.hpp"
#include "command/service_state.hpp"
#include "input/options.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorlin::command {

enum class OutputFormat : std::uint8_t { table, json, nagios };

struct OutputArguments {
    OutputFormat format = OutputFormat::table;
    HandshakeThresholds thresholds;
};

// One probe: a configuration file, or the raw-key texts.
struct ProbeArguments {
    std::optional<std::string> config;
    std::optional<std::string> private_key_file;
    std::optional<std::string> peer_key;
    std::optional<std::string> endpoint;
    std::optional<std::string> address;
    std::vector<std::string> allowed_ips;
    input::OptionTexts options;

    bool data_checks_asked() const noexcept { return !options.ping.empty() || !options.resolve.empty(); }
};

struct ProbeRequest {
    ProbeArguments probe;
    OutputArguments output;
};

// `quorlin fleet FLEET.toml ...`: every target of a fleet file, or those named.
struct FleetRequest {
    std::string fleet_file;
    std::vector<std::string> targets;  // --target, as given; empty: every target
    std::size_t concurrency = 64;
    OutputArguments output;
};

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
