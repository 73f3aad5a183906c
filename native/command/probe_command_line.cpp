#include "command/probe_command_line.hpp"

#include "command/number_option.hpp"

#include <CLI/CLI.hpp>

#include <array>
#include <utility>

namespace quorlin::command {

RawKeyOptions add_probe_options(CLI::App& app, ProbeArguments& probe) {
    app.add_option("CONFIG", probe.config, "WireGuard configuration file")->type_name("");

    const std::string raw_key = "raw-key mode (instead of CONFIG)";
    const RawKeyOptions raw = {
        app.add_option("--private-key-file", probe.private_key_file, "file holding the private key (Base64)")
            ->type_name("FILE")->group(raw_key),
        app.add_option("--peer-key", probe.peer_key, "the peer's public key (Base64)")->type_name("KEY")->group(raw_key),
        app.add_option("--endpoint", probe.endpoint, "the peer's endpoint")->type_name("HOST:PORT")->group(raw_key),
        app.add_option("--address", probe.address, "interface address for data checks")->type_name("CIDR")->group(raw_key),
        app.add_option("--allowed-ip", probe.allowed_ips, "peer AllowedIPs entry, IPv4 or IPv6 (repeatable)")
            ->type_name("CIDR")->group(raw_key)->allow_extra_args(false),
        app.add_option("--address6", probe.address6, "interface IPv6 address for IPv6 checks")
            ->type_name("CIDR")->group(raw_key),
    };

    input::OptionTexts& options = probe.options;
    const std::string checks = "data checks";
    app.add_option("--ping", options.ping, "ICMP echo target, IPv4 or IPv6 (repeatable)")
        ->type_name("IP")->group(checks)->allow_extra_args(false);
    app.add_option("--resolve", options.resolve, "DNS name (repeatable)")
        ->type_name("NAME")->group(checks)->allow_extra_args(false);
    app.add_option("--dns-server", options.dns_server, "DNS server for --resolve")->type_name("IP")->group(checks);
    app.add_option("--tcp", options.tcp,
                   "TCP port that must accept a connection through the tunnel (repeatable); its limit: "
                   "--tcp-timeout-ms")
        ->type_name("ADDR:PORT")->group(checks)->allow_extra_args(false);
    app.add_option("--tls", options.tls,
                   "TLS service whose handshake and certificate must pass through the tunnel (repeatable); a HOST "
                   "name is resolved by the tunnel's DNS server")
        ->type_name("HOST:PORT")->group(checks)->allow_extra_args(false);
    app.add_option("--tls-server-name", options.tls_server_name,
                   "the name --tls and https:// checks of an address send and verify (default: the host's name)")
        ->type_name("NAME")->group(checks);
    app.add_option("--ca-file", options.ca_file,
                   "PEM certificates of the CAs the TLS checks trust (default: the system's store)")
        ->type_name("FILE")->group(checks);
    app.add_option("--http", options.http,
                   "URL of one HTTP GET through the tunnel (repeatable); https:// checks TLS first; redirects are "
                   "reported, never followed")
        ->type_name("URL")->group(checks)->allow_extra_args(false);
    app.add_option("--http-status", options.http_status, "statuses --http accepts, default 200-399")
        ->type_name("CODES")->group(checks);
    app.add_option("--http-expect", options.http_expect, "text the --http body must hold")
        ->type_name("TEXT")->group(checks);
    whole_number_option(app.add_option("--ping-count", options.ping_count, "echoes per ping target, 1 to 100, default 1"))
        ->type_name("N")->group(checks);
    whole_number_option(app.add_option("--ping-interval-ms", options.ping_interval_ms,
                                       "time between the echoes to one target, at least 10, default 200"))
        ->type_name("MS")->group(checks);
    app.add_flag("--mtu-check", options.mtu_check,
                 "find the largest inner packet that crosses the tunnel to the first ping target")
        ->group(checks);
    whole_number_option(
        app.add_option("--mtu", options.mtu,
                       "the size --mtu-check expects to cross, 576 to 9000 (default: the configuration's MTU, else "
                       "1420); --tcp announces it less 40 as its MSS"))
        ->type_name("N")->group(checks);

    // Refusals name the command's own options.
    options.spelling = input::OptionSpelling::command_line;
    const std::string limits = "time limits (milliseconds)";
    for (const input::TimeLimitName& limit : input::time_limit_names) {
        std::int64_t& value = options.*limit.text;
        whole_number_option(app.add_option("--" + std::string(limit.option), value, "default " + std::to_string(value)))
            ->type_name("MS")->group(limits);
    }
    whole_number_option(app.add_option("-t,--timeout", probe.timeout_s,
                                       "the overall deadline in seconds, 1 to 86400 (the plugin convention): "
                                       "--deadline-ms x 1000; not with --deadline-ms"),
                        WholeRange{1, static_cast<std::int64_t>(input::max_timeout_ms / 1000)})
        ->type_name("SECONDS")->group(limits);
    return raw;
}

std::optional<std::string> deadline_clash(const CLI::App& app) {
    // Both at once would leave the reader to guess which one counts.
    if (app.get_option("-t")->count() > 0 && app.get_option("--deadline-ms")->count() > 0) {
        return "-t cannot be combined with --deadline-ms";
    }
    return std::nullopt;
}

std::optional<std::string> probe_mode_error(const ProbeArguments& probe, const RawKeyOptions& raw) {
    std::array<std::string, input::raw_key_field_count> option_names;
    input::InputModeNames names{"a configuration file", {}};
    std::array<bool, input::raw_key_field_count> given{};
    for (std::size_t field = 0; field < raw.size(); ++field) {
        option_names[field] = raw[field]->get_name();
        names.fields[field] = option_names[field];
        // An empty text was still given: it conflicts with a configuration file too.
        given[field] = raw[field]->count() > 0;
    }
    auto refusal = input::input_mode_refusal(probe.config.has_value(), given, names);
    if (!refusal) return std::nullopt;
    return std::move(refusal->message);
}

}  // namespace quorlin::command
