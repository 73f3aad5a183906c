#include "command/probe_command_line.hpp"

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
        app.add_option("--allowed-ip", probe.allowed_ips, "peer AllowedIPs entry (repeatable)")
            ->type_name("CIDR")->group(raw_key)->allow_extra_args(false),
    };

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
