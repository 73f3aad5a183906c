#pragma once
// The command line of `quorlin exporter`, a subcommand beside `fleet`:
//   quorlin exporter --fleet FLEET.toml [--listen IPV4:PORT|[IPV6]:PORT]
//                    [--concurrency N] [--timeout-offset SECONDS]
//                    [--log.level debug|info|warn|error]

#include "exporter/exporter_settings.hpp"

#include <cstdint>
#include <expected>
#include <string>

namespace CLI {
class App;
}  // namespace CLI

namespace quorlin::command {

struct ExporterRequest {
    exporter::ExporterSettings settings;
};

// The options as given, checked by CLI11 as far as it can.
struct ExporterTexts {
    std::string fleet_file;
    std::string listen{exporter::default_listen};
    std::string web_config_file;
    std::int64_t max_concurrent = static_cast<std::int64_t>(exporter::default_max_concurrent);
    double timeout_offset_s = 0.5;
    std::string log_level{"info"};
};

CLI::App* add_exporter_subcommand(CLI::App& app, ExporterTexts& texts);

// The request, or the usage error CLI11 could not find: a --listen that is
// not an IPv4 or bracketed IPv6 address with a port, an unknown --log.level.
std::expected<ExporterRequest, std::string> exporter_request(const ExporterTexts& texts);

}  // namespace quorlin::command
