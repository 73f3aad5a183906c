#include "command/exporter_command_line.hpp"

#include "command/concurrency_option.hpp"
#include "command/number_option.hpp"
#include "probe/socket_address_literal.hpp"

#include <CLI/CLI.hpp>

#include <chrono>

namespace quorlin::command {

namespace {

constexpr std::string_view exporter_description =
    "Serve the fleet to Prometheus: GET /probe?target=NAME runs one fresh probe of that target and answers "
    "with its metrics.";

constexpr std::string_view exporter_footer =
    "Endpoints: /probe?target=NAME (module=NAME accepted and ignored), /metrics (the exporter's own),\n"
    "/targets (HTTP service discovery), / (a page listing the targets) and /-/healthy.\n"
    "A probe's deadline is the smaller of the target's deadline_ms and Prometheus' scrape timeout minus\n"
    "--timeout-offset. SIGHUP reads the fleet file and the web configuration again (a bad file is logged,\n"
    "the one in use kept); SIGTERM or SIGINT stops accepting, lets running probes end and exits 0.";

constexpr std::int64_t max_concurrent_limit = 1024;
constexpr double max_timeout_offset_s = 3600;

}  // namespace

CLI::App* add_exporter_subcommand(CLI::App& app, ExporterTexts& texts) {
    CLI::App* exporter = app.add_subcommand("exporter", std::string(exporter_description));
    exporter->footer(std::string(exporter_footer));
    exporter->add_option("--fleet", texts.fleet_file, "fleet file")->required()->type_name("FLEET.toml");
    exporter->add_option("--listen,--web.listen-address", texts.listen,
                         "address and port to serve on, default " + texts.listen + "; [::]:PORT for IPv6 and IPv4")
        ->type_name("ADDRESS:PORT");
    exporter->add_option("--web.config.file", texts.web_config_file,
                         "web configuration file (YAML): basic_auth_users, user: bcrypt hash")
        ->type_name("FILE");
    add_concurrency_option(*exporter, texts.max_concurrent, max_concurrent_limit);
    decimal_option(exporter->add_option("--timeout-offset", texts.timeout_offset_s,
                                        "seconds kept from Prometheus' scrape timeout, default 0.5"),
                   0.0, max_timeout_offset_s)
        ->type_name("SECONDS");
    exporter->add_option("--log.level", texts.log_level,
                         "debug (every probe), info (probes not OK, reloads), warn (refusals, errors) or error, "
                         "default info")
        ->type_name("LEVEL");
    return exporter;
}

std::expected<ExporterRequest, std::string> exporter_request(const ExporterTexts& texts) {
    if (!parse_socket_address_literal(texts.listen)) {
        return std::unexpected("--listen must be an address and a port, like " + std::string(exporter::default_listen) +
                               " or [::1]:9723, got " + texts.listen);
    }
    const auto log_level = exporter::parse_log_level(texts.log_level);
    if (!log_level) return std::unexpected("--log.level must be debug, info, warn or error, got " + texts.log_level);
    ExporterRequest request;
    request.settings.fleet_file = texts.fleet_file;
    request.settings.listen = texts.listen;
    request.settings.web_config_file = texts.web_config_file;
    request.settings.max_concurrent = static_cast<std::size_t>(texts.max_concurrent);  // 1 to 1024 by the check
    request.settings.timeout_offset = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(texts.timeout_offset_s));
    request.settings.log_level = *log_level;
    return request;
}

}  // namespace quorlin::command
