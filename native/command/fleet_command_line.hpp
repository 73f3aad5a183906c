#pragma once
// The command line of `quorlin fleet`, a subcommand beside `exporter`:
//   quorlin fleet FLEET.toml [--target NAME ...] [--concurrency N] [--check] [OUTPUT OPTIONS]

#include "command/output_options.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace CLI {
class App;
}  // namespace CLI

namespace quorlin::command {

inline constexpr std::size_t default_fleet_concurrency = 64;

// `quorlin fleet FLEET.toml ...`: every target of a fleet file, or those named.
struct FleetRequest {
    std::string fleet_file;
    std::vector<std::string> targets;  // --target, as given; empty: every target
    std::size_t concurrency = default_fleet_concurrency;
    bool check_only = false;  // --check: read and check the file as a run would, probe nothing
    OutputArguments output;
};

// The options as given, checked by CLI11.
struct FleetTexts {
    FleetRequest request;
    std::int64_t concurrency = default_fleet_concurrency;
    OutputTexts output;
};

CLI::App* add_fleet_subcommand(CLI::App& app, FleetTexts& texts);

// The request, or a usage error of its output options.
std::expected<FleetRequest, std::string> fleet_request(FleetTexts texts);

}  // namespace quorlin::command
