// The two entry flows, step by step. Every refusal is raised as
// ConfigurationError with its message unchanged, before any traffic.
#include "python/flows.hpp"

#include "python/errors.hpp"
#include "python/interpreter_lock.hpp"
#include "python/loaders.hpp"
#include "python/run_probe.hpp"

#include <utility>

namespace quorlin::python {

namespace {

constexpr std::string_view unpaired_data_config_message =
    "address and at least one allowed_ips entry must be supplied together";
constexpr std::string_view data_checks_need_address_message =
    "data checks require address and at least one allowed_ips entry";
constexpr std::string_view resolve_needs_dns_server_message = "resolve requires an IPv4 dns_server in raw-key mode";

PyObject* plan_and_run(const ProbeOptions& options, ProbeConfig config) {
    auto plan = options.plan(std::move(config));
    if (!plan) return raise_configuration_error(plan.error());
    return run_probe(std::move(*plan));
}

}  // namespace

PyObject* config_file_flow(std::string path, OptionTexts texts) {
    // Option errors come before the file is touched, even when it does not exist.
    auto options = ProbeOptions::parse(std::move(texts));
    if (!options) return raise_configuration_error(options.error());
    auto config = without_interpreter_lock([&] { return load_config_file(path); });
    if (!config) return raise_configuration_error(config.error());
    return plan_and_run(*options, std::move(*config));
}

PyObject* raw_key_flow(std::string path, RawKeyTexts raw, OptionTexts texts) {
    auto options = ProbeOptions::parse(std::move(texts));
    if (!options) return raise_configuration_error(options.error());

    // Without a configuration file the caller supplies the interface address
    // and the AllowedIPs, and the DNS server for names to resolve.
    if (raw.address.has_value() == raw.allowed_ips.empty()) {
        return raise_configuration_error(unpaired_data_config_message);
    }
    if (!raw.address && (!options->ping.empty() || !options->resolve.empty())) {
        return raise_configuration_error(data_checks_need_address_message);
    }
    if (!options->resolve.empty() && !options->dns_server) {
        return raise_configuration_error(resolve_needs_dns_server_message);
    }
    std::optional<Ipv4Cidr> address;
    if (raw.address) {
        auto parsed = parse_cidr(*raw.address, "address");
        if (!parsed) return raise_configuration_error(parsed.error());
        address = *parsed;
    }
    std::vector<Ipv4Cidr> allowed_ips;
    allowed_ips.reserve(raw.allowed_ips.size());
    for (const std::string& text : raw.allowed_ips) {
        auto parsed = parse_cidr(text, "allowed_ips entry");
        if (!parsed) return raise_configuration_error(parsed.error());
        allowed_ips.push_back(*parsed);
    }

    // Key-file errors come only after every argument text was found valid.
    auto config = without_interpreter_lock(
        [&] { return load_key_file(path, raw.peer_key, std::move(raw.endpoint)); });
    if (!config) return raise_configuration_error(config.error());
    if (address) config->set_data_config(*address, {}, std::move(allowed_ips));
    return plan_and_run(*options, std::move(*config));
}

}  // namespace quorlin::python
