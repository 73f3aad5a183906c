#pragma once
// The output options every probing mode takes (--json, --nagios, --warning,
// --critical, --ping-warning, --ping-critical), and what they become.

#include "probe/outcome.hpp"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

namespace CLI {
class App;
}  // namespace CLI

namespace quorlin::command {

enum class OutputFormat : std::uint8_t { table, json, nagios };

struct OutputArguments {
    OutputFormat format = OutputFormat::table;
    HandshakeThresholds thresholds;
    PingThresholds ping_thresholds;
    CertificateThresholds certificate_thresholds;
    bool verbose = false;  // the plugin output's long output also holds the table
};

// The output options as given, before they become OutputArguments.
struct OutputTexts {
    bool json = false;
    bool nagios = false;
    bool verbose = false;
    std::optional<std::int64_t> warning_ms;
    std::optional<std::int64_t> critical_ms;
    std::optional<std::string> ping_warning;   // RTA_MS,LOSS%
    std::optional<std::string> ping_critical;
    std::optional<std::int64_t> tls_days_warning;
    std::optional<std::int64_t> tls_days_critical;
};

void add_output_options(CLI::App& app, OutputTexts& output);

// The arguments, or the usage error of a warning threshold above its critical one.
std::expected<OutputArguments, std::string> output_arguments(const OutputTexts& texts);

}  // namespace quorlin::command
