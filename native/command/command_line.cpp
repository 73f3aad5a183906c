#include "command/command_line.hpp"

#include "common/version.hpp"
#include "input/timeout.hpp"

#include <CLI/CLI.hpp>

#include <array>
#include <expected>
#include <utility>

namespace quorlin::command {

const std::string_view usage_text =
    "usage: quorlin [OPTIONS] CONFIG\n"
    "       quorlin [OPTIONS] --private-key-file FILE --peer-key KEY --endpoint HOST:PORT\n"
    "               [--address CIDR --allowed-ip CIDR ...]\n"
    "       quorlin fleet [OPTIONS] FLEET.toml [--target NAME ...]\n"
    "       quorlin exporter --fleet FLEET.toml [--listen IPV4:PORT] [OPTIONS]\n";

namespace {

constexpr std::string_view description =
    "Probe a WireGuard endpoint: does the peer hold the expected key, and does traffic flow through the tunnel?";

constexpr std::string_view exit_status_footer =
    "Exit status (the monitoring-plugin convention):\n"
    "  0  OK        the verdict answers everything asked\n"
    "  1  WARNING   authenticated, but no requested data check passed; or the handshake took longer\n"
    "               than --warning\n"
    "  2  CRITICAL  unconfirmed; the endpoint's name does not resolve; the peer's host refuses or is\n"
    "               unreachable; or the handshake took longer than --critical\n"
    "  3  UNKNOWN   refused input or usage error, a failure of this machine, an output that cannot be\n"
    "               written, or Ctrl-C";

constexpr std::string_view fleet_description =
    "Probe every target of a fleet file (TOML), or those named with --target, several at once.";

constexpr std::string_view fleet_footer =
    "The fleet file holds an optional [defaults] table and one [[target]] table per target:\n"
    "  name (required), config or private_key_file + peer_key + endpoint [+ address + allowed_ips],\n"
    "  ping, resolve, dns_server, handshake_timeout_ms, ping_timeout_ms, dns_timeout_ms,\n"
    "  deadline_ms, labels. Relative paths are taken from the fleet file's folder.\n"
    "\n"
    "Exit status: the worst over the targets, each by the single probe's table (quorlin --help);\n"
    "3 (UNKNOWN) for a refused fleet file, Ctrl-C or output that cannot be written. The first\n"
    "Ctrl-C starts no new probe and waits for the running ones to end by their deadlines; a\n"
    "second one ends at once.";

// Thresholds lie in the range of the time limits.
constexpr auto max_threshold_ms = static_cast<std::int64_t>(input::max_timeout_ms);
constexpr std::int64_t max_concurrency = 4096;

// Which raw-key options were given, in the order their refusals name them.
struct RawKeyOptions {
    CLI::Option* private_key_file = nullptr;
    CLI::Option* peer_key = nullptr;
    CLI::Option* endpoint = nullptr;
    CLI::Option* address = nullptr;
    CLI::Option* allowed_ip = nullptr;
};

// The output options as given, before they become OutputArguments.
struct OutputTexts {
    bool json = false;
    bool nagios = false;
    std::optional<std::int64_t> warning_ms;
    std::optional<std::int64_t> critical_ms;
};

RawKeyOptions add_probe_options(CLI::App& app, ProbeArguments& probe) {
    app.add_option("CONFIG", probe.config, "WireGuard configuration file")->type_name("");

    const std::string raw_key = "raw-key mode (instead of CONFIG)";
    RawKeyOptions raw;
    raw.private_key_file = app.add_option("--private-key-file", probe.private_key_file, "file holding the private key (Base64)")
                               ->type_name("FILE")->group(raw_key);
    raw.peer_key = app.add_option("--peer-key", probe.peer_key, "the peer's public key (Base64)")
                       ->type_name("KEY")->group(raw_key);
    raw.endpoint = app.add_option("--endpoint", probe.endpoint, "the peer's endpoint")
                       ->type_name("HOST:PORT")->group(raw_key);
    raw.address = app.add_option("--address", probe.address, "interface address for data checks")
                      ->type_name("CIDR")->group(raw_key);
    raw.allowed_ip = app.add_option("--allowed-ip", probe.allowed_ips, "peer AllowedIPs entry (repeatable)")
                         ->type_name("CIDR")->group(raw_key)->allow_extra_args(false);

    input::OptionTexts& options = probe.options;
    const std::string checks = "data checks";
    app.add_option("--ping", options.ping, "ICMP echo target (repeatable)")
        ->type_name("IP")->group(checks)->allow_extra_args(false);
    app.add_option("--resolve", options.resolve, "DNS name (repeatable)")
        ->type_name("NAME")->group(checks)->allow_extra_args(false);
    app.add_option("--dns-server", options.dns_server, "DNS server for --resolve")->type_name("IP")->group(checks);

    const std::string limits = "time limits (milliseconds)";
    const std::array<std::pair<const char*, std::int64_t*>, 4> limit_options = {{
        {"--handshake-timeout-ms", &options.handshake_timeout_ms},
        {"--ping-timeout-ms", &options.ping_timeout_ms},
        {"--dns-timeout-ms", &options.dns_timeout_ms},
        {"--deadline-ms", &options.deadline_ms},
    }};
    for (const auto& [name, value] : limit_options) {
        app.add_option(name, *value, "default " + std::to_string(*value))->type_name("MS")->group(limits);
    }
    return raw;
}

void add_output_options(CLI::App& app, OutputTexts& output) {
    const std::string group = "output";
    app.add_flag("--json", output.json, "print the report's JSON on one line instead of the table")->group(group);
    app.add_flag("--nagios", output.nagios, "print one monitoring-plugin line: WIREGUARD STATE - summary | perfdata")
        ->group(group);
    // The range shows in the message of a refused value, not in the help.
    const auto threshold_range = CLI::Range(std::int64_t{0}, max_threshold_ms).description("");
    app.add_option("-w,--warning", output.warning_ms, "WARNING when the handshake takes longer than MS")
        ->type_name("MS")->group(group)->check(threshold_range);
    app.add_option("-c,--critical", output.critical_ms, "CRITICAL when the handshake takes longer than MS")
        ->type_name("MS")->group(group)->check(threshold_range);
}

struct FleetTexts {
    std::int64_t concurrency = 64;
    OutputTexts output;
};

CLI::App* add_fleet_subcommand(CLI::App& app, FleetRequest& request, FleetTexts& texts) {
    CLI::App* fleet = app.add_subcommand("fleet", std::string(fleet_description));
    fleet->footer(std::string(fleet_footer));
    fleet->add_option("FLEET.toml", request.fleet_file, "fleet file")->required()->type_name("");
    fleet->add_option("--target", request.targets, "probe only this target (repeatable)")
        ->type_name("NAME")->allow_extra_args(false);
    fleet->add_option("--concurrency", texts.concurrency, "probes at once, default 64")
        ->type_name("N")->check(CLI::Range(std::int64_t{1}, max_concurrency).description(""));
    add_output_options(*fleet, texts.output);
    return fleet;
}

// Options before the word fleet or exporter are the single probe's: refused with it.
std::optional<std::string> options_before(const CLI::App& app, std::string_view subcommand) {
    for (const CLI::Option* option : app.get_options()) {
        if (option->count() > 0) return option->get_name() + " cannot be given before " + std::string(subcommand);
    }
    return std::nullopt;
}

// The mode rules CLI11 cannot express: CONFIG or the three raw-key options.
std::optional<std::string> probe_mode_error(const ProbeArguments& probe, const RawKeyOptions& raw) {
    const std::array<CLI::Option*, 5> given_order = {raw.private_key_file, raw.peer_key, raw.endpoint, raw.address,
                                                     raw.allowed_ip};
    if (probe.config) {
        // An empty text was still given: it conflicts with a configuration file too.
        for (CLI::Option* option : given_order) {
            if (option->count() > 0) return option->get_name() + " cannot be combined with a configuration file";
        }
        return std::nullopt;
    }
    std::string missing;
    for (CLI::Option* option : {raw.private_key_file, raw.peer_key, raw.endpoint}) {
        if (option->count() > 0) continue;
        missing += missing.empty() ? "" : ", ";
        missing += option->get_name();
    }
    if (missing.empty()) return std::nullopt;
    return "give a configuration file, or " + missing;
}

std::expected<OutputArguments, std::string> output_arguments(const OutputTexts& texts) {
    if (texts.json && texts.nagios) return std::unexpected(std::string("--json cannot be combined with --nagios"));
    OutputArguments output;
    output.format = texts.json ? OutputFormat::json : texts.nagios ? OutputFormat::nagios : OutputFormat::table;
    // The range check has made both non-negative.
    if (texts.warning_ms) output.thresholds.warning_ms = static_cast<std::uint64_t>(*texts.warning_ms);
    if (texts.critical_ms) output.thresholds.critical_ms = static_cast<std::uint64_t>(*texts.critical_ms);
    return output;
}

}  // namespace

ParsedCommandLine parse_command_line(int argc, const char* const* argv) {
    CLI::App app{std::string(description), "quorlin"};
    app.footer(std::string(exit_status_footer));
    // As with most commands, a repeated single-value option takes the last value.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.set_version_flag("--version", "quorlin " + std::string(version), "print the version and exit");

    ProbeRequest request;
    OutputTexts output;
    const RawKeyOptions raw = add_probe_options(app, request.probe);
    add_output_options(app, output);
    FleetRequest fleet_request;
    FleetTexts fleet_texts;
    const CLI::App* fleet = add_fleet_subcommand(app, fleet_request, fleet_texts);
    ExporterTexts exporter_texts;
    const CLI::App* exporter = add_exporter_subcommand(app, exporter_texts);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion& printed) {
        return Informational{std::string(printed.what()) + "\n"};
    } catch (const CLI::CallForHelp&) {
        return Informational{app.help()};
    } catch (const CLI::ParseError& error) {
        return UsageFailure{error.what()};
    }
    if (fleet->parsed()) {
        if (auto error = options_before(app, "fleet")) return UsageFailure{std::move(*error)};
        auto fleet_output = output_arguments(fleet_texts.output);
        if (!fleet_output) return UsageFailure{std::move(fleet_output.error())};
        fleet_request.output = *fleet_output;
        fleet_request.concurrency = static_cast<std::size_t>(fleet_texts.concurrency);  // 1 to 4096 by the check
        return fleet_request;
    }
    if (exporter->parsed()) {
        if (auto error = options_before(app, "exporter")) return UsageFailure{std::move(*error)};
        auto exporter_request_or_error = exporter_request(exporter_texts);
        if (!exporter_request_or_error) return UsageFailure{std::move(exporter_request_or_error.error())};
        return std::move(*exporter_request_or_error);
    }
    if (auto error = probe_mode_error(request.probe, raw)) return UsageFailure{std::move(*error)};
    auto arguments = output_arguments(output);
    if (!arguments) return UsageFailure{std::move(arguments.error())};
    request.output = *arguments;
    return request;
}

}  // namespace quorlin::command
