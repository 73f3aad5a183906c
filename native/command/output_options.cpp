#include "command/output_options.hpp"

#include "command/number_option.hpp"
#include "input/ping_limit.hpp"
#include "input/timeout.hpp"

#include <CLI/CLI.hpp>

#include <tuple>

namespace quorlin::command {

namespace {

// Thresholds lie in the range of the time limits.
constexpr auto max_threshold_ms = static_cast<std::int64_t>(input::max_timeout_ms);
// Certificates are not issued for longer than this.
constexpr std::int64_t max_certificate_days = 36'500;

}  // namespace

void add_output_options(CLI::App& app, OutputTexts& output) {
    const std::string group = "output";
    CLI::Option* json =
        app.add_flag("--json", output.json, "print the report's JSON on one line instead of the table")->group(group);
    app.add_flag("--nagios", output.nagios, "print one monitoring-plugin line: WIREGUARD STATE - summary | perfdata")
        ->group(group)->excludes(json);
    app.add_flag("-v,--verbose", output.verbose, "with --nagios: the table too, after the summary (long output)")
        ->group(group);
    // The range shows in the message of a refused value, not in the help.
    const WholeRange threshold_range{0, max_threshold_ms};
    whole_number_option(
        app.add_option("-w,--warning", output.warning_ms, "WARNING when the handshake takes longer than MS"),
        threshold_range)
        ->type_name("MS")->group(group);
    whole_number_option(
        app.add_option("-c,--critical", output.critical_ms, "CRITICAL when the handshake takes longer than MS"),
        threshold_range)
        ->type_name("MS")->group(group);
    for (auto [name, days, help] : {std::tuple{"--tls-days-warning", &output.tls_days_warning, "WARNING"},
                                    std::tuple{"--tls-days-critical", &output.tls_days_critical, "CRITICAL"}}) {
        whole_number_option(app.add_option(name, *days,
                                           std::string(help) + " when a TLS certificate expires within DAYS"),
                            WholeRange{0, max_certificate_days})
            ->type_name("DAYS")->group(group);
    }
    for (auto [name, text, help] : {std::tuple{"--ping-warning", &output.ping_warning, "WARNING"},
                                    std::tuple{"--ping-critical", &output.ping_critical, "CRITICAL"}}) {
        const std::string option = name;
        app.add_option(option, *text,
                       std::string(help) + " when the worst ping target's round-trip average or loss reaches these")
            ->type_name("RTA_MS,LOSS%")->group(group)
            ->check(CLI::Validator(
                [option](std::string& value) {
                    const auto limit = input::parse_ping_limit(value, option);
                    return limit ? std::string() : limit.error();
                },
                ""));
    }
}

std::expected<OutputArguments, std::string> output_arguments(const OutputTexts& texts) {
    OutputArguments output;
    output.format = texts.json ? OutputFormat::json : texts.nagios ? OutputFormat::nagios : OutputFormat::table;
    output.verbose = texts.verbose;
    // The range check has made both non-negative.
    if (texts.warning_ms) output.thresholds.warning_ms = static_cast<std::uint64_t>(*texts.warning_ms);
    if (texts.critical_ms) output.thresholds.critical_ms = static_cast<std::uint64_t>(*texts.critical_ms);
    // The option checks have parsed both already.
    if (texts.ping_warning) output.ping_thresholds.warning = input::parse_ping_limit(*texts.ping_warning, "").value();
    if (texts.ping_critical) {
        output.ping_thresholds.critical = input::parse_ping_limit(*texts.ping_critical, "").value();
    }
    // A warning above its critical threshold could never be shown: a mistake.
    const HandshakeThresholds& handshake = output.thresholds;
    if (handshake.warning_ms && handshake.critical_ms && *handshake.warning_ms > *handshake.critical_ms) {
        return std::unexpected("--warning " + std::to_string(*handshake.warning_ms) + " is above --critical " +
                               std::to_string(*handshake.critical_ms));
    }
    output.certificate_thresholds = {texts.tls_days_warning, texts.tls_days_critical};
    if (texts.tls_days_warning && texts.tls_days_critical && *texts.tls_days_warning < *texts.tls_days_critical) {
        return std::unexpected("--tls-days-warning " + std::to_string(*texts.tls_days_warning) +
                               " is below --tls-days-critical " + std::to_string(*texts.tls_days_critical));
    }
    const PingThresholds& ping = output.ping_thresholds;
    if (ping.warning_above_critical()) {
        return std::unexpected("--ping-warning " + *texts.ping_warning + " is above --ping-critical " +
                               *texts.ping_critical);
    }
    return output;
}

}  // namespace quorlin::command
