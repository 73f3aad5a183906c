#include "command/fleet_command_line.hpp"

#include "command/concurrency_option.hpp"

#include <CLI/CLI.hpp>

#include <utility>

namespace quorlin::command {

namespace {

constexpr std::string_view fleet_description =
    "Probe every target of a fleet file (TOML), or those named with --target, several at once.";

constexpr std::string_view fleet_footer =
    "The fleet file holds an optional [defaults] table and one [[target]] table per target:\n"
    "  name (required), config or private_key_file + peer_key + endpoint\n"
    "  [+ address, address6 + allowed_ips], ping, resolve, dns_server, tcp, tls, tls_server_name,\n"
    "  ca_file, http, http_status, http_expect, ping_count, ping_interval_ms, mtu_check, mtu,\n"
    "  ping_warning, ping_critical, tls_days_warning, tls_days_critical, handshake_timeout_ms,\n"
    "  ping_timeout_ms, dns_timeout_ms, tcp_timeout_ms, deadline_ms, labels. Relative paths\n"
    "  are taken from the fleet file's folder.\n"
    "\n"
    "--check reads and checks the whole file, and every file it names, exactly as a run\n"
    "would, and probes nothing: one line \"FLEET.toml: N targets OK\" and exit status 0,\n"
    "or the refusal and 3.\n"
    "\n"
    "Exit status: the worst over the targets, each by the single probe's table (quorlin --help),\n"
    "CRITICAL above WARNING above UNKNOWN; 3 (UNKNOWN) for a refused fleet file, Ctrl-C, SIGTERM\n"
    "or output that cannot be written. The first Ctrl-C starts no new probe and waits for the\n"
    "running ones to end by their deadlines; a second one, or SIGTERM, ends at once.";

constexpr std::int64_t max_concurrency = 4096;

}  // namespace

CLI::App* add_fleet_subcommand(CLI::App& app, FleetTexts& texts) {
    CLI::App* fleet = app.add_subcommand("fleet", std::string(fleet_description));
    fleet->footer(std::string(fleet_footer));
    fleet->add_option("FLEET.toml", texts.request.fleet_file, "fleet file")->required()->type_name("");
    fleet->add_option("--target", texts.request.targets, "probe only this target (repeatable)")
        ->type_name("NAME")->allow_extra_args(false);
    add_concurrency_option(*fleet, texts.concurrency, max_concurrency);
    fleet->add_flag("--check", texts.request.check_only, "check the fleet file and the files it names; probe nothing");
    add_output_options(*fleet, texts.output);
    return fleet;
}

std::expected<FleetRequest, std::string> fleet_request(FleetTexts texts) {
    auto output = output_arguments(texts.output);
    if (!output) return std::unexpected(std::move(output.error()));
    FleetRequest request = std::move(texts.request);
    request.output = *output;
    request.concurrency = static_cast<std::size_t>(texts.concurrency);  // 1 to 4096 by the check
    return request;
}

}  // namespace quorlin::command
