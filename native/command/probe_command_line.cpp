#include "command/probe_command_line.hpp"

#include <CLI/CLI.hpp>

#include <array>
#include <utility>

namespace quorlin::command {

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
    for (const input::TimeLimitName& limit : input::time_limit_names) {
        std::int64_t& value = options.*limit.text;
        app.add_option("--" + std::string(limit.option), value, "default " + std::to_string(value))
            ->type_name("MS")->group(limits);
    }
    return raw;
}

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

}  // namespace quorlin::command
