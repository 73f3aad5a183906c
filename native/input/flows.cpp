// The two flows, step by step.
#include "input/flows.hpp"

#include "input/loaders.hpp"

#include <string_view>
#include <utility>

namespace quorlin::input {

namespace {

constexpr std::string_view unpaired_data_config_message =
    "address and at least one allowed_ips entry must be supplied together";
constexpr std::string_view data_checks_need_address_message =
    "data checks require address and at least one allowed_ips entry";
constexpr std::string_view resolve_needs_dns_server_message = "resolve requires an IPv4 dns_server in raw-key mode";

std::unexpected<PlanRefusal> refuse(PlanStep step, std::string message) {
    return std::unexpected(PlanRefusal{step, std::move(message)});
}

std::expected<ProbePlan, std::string> message_only(std::expected<ProbePlan, PlanRefusal> plan) {
    if (!plan) return std::unexpected(std::move(plan.error().message));
    return std::move(*plan);
}

std::expected<ProbePlan, PlanRefusal> planned(const ProbeOptions& options, ProbeConfig config) {
    auto plan = options.plan(std::move(config));
    if (!plan) {
        return refuse(plan.error().deadline ? PlanStep::deadline : PlanStep::validation, std::move(plan.error().message));
    }
    return std::move(*plan);
}

}  // namespace

std::expected<ProbePlan, std::string> plan_config_file(const std::string& path, OptionTexts texts) {
    return message_only(plan_config_file_by_step(path, std::move(texts)));
}

std::expected<ProbePlan, std::string> plan_raw_key(const std::string& path, RawKeyTexts raw, OptionTexts texts) {
    return message_only(plan_raw_key_by_step(path, std::move(raw), std::move(texts)));
}

std::expected<ProbePlan, PlanRefusal> plan_config_file_by_step(const std::string& path, OptionTexts texts,
                                                               std::string_view shown) {
    // Option errors come before the file is touched, even when it does not exist.
    auto options = ProbeOptions::parse(std::move(texts));
    if (!options) return refuse(PlanStep::options, std::move(options.error()));
    auto config = load_config_file(path, shown);
    if (!config) return refuse(PlanStep::input_file, std::move(config.error()));
    return planned(*options, std::move(*config));
}

std::expected<ProbePlan, PlanRefusal> plan_raw_key_by_step(const std::string& path, RawKeyTexts raw,
                                                           OptionTexts texts, std::string_view shown) {
    constexpr PlanStep arguments = PlanStep::raw_key_arguments;
    auto options = ProbeOptions::parse(std::move(texts));
    if (!options) return refuse(PlanStep::options, std::move(options.error()));

    // Without a configuration file the caller supplies the interface
    // addresses and the AllowedIPs, and the DNS server for names to resolve.
    const bool addressed = raw.address || raw.address6;
    if (addressed == raw.allowed_ips.empty()) return refuse(arguments, std::string(unpaired_data_config_message));
    if (!addressed && (!options->ping.empty() || !options->resolve.empty())) {
        return refuse(arguments, std::string(data_checks_need_address_message));
    }
    if (!options->resolve.empty() && !options->dns_server) {
        return refuse(arguments, std::string(resolve_needs_dns_server_message));
    }
    std::optional<Ipv4Cidr> address;
    if (raw.address) {
        auto parsed = parse_cidr(*raw.address, "address");
        if (!parsed) return refuse(arguments, std::move(parsed.error()));
        address = *parsed;
    }
    std::vector<Ipv4Cidr> allowed_ips;
    std::vector<Ipv6Cidr> allowed_ips6;
    for (const std::string& text : raw.allowed_ips) {
        if (text.find(':') != std::string::npos) {
            auto parsed = parse_cidr6(text, "allowed_ips entry");
            if (!parsed) return refuse(arguments, std::move(parsed.error()));
            allowed_ips6.push_back(*parsed);
            continue;
        }
        auto parsed = parse_cidr(text, "allowed_ips entry");
        if (!parsed) return refuse(arguments, std::move(parsed.error()));
        allowed_ips.push_back(*parsed);
    }
    std::optional<Ipv6Cidr> address6;
    if (raw.address6) {
        auto parsed = parse_cidr6(*raw.address6, "address6");
        if (!parsed || is_ipv4_mapped(parsed->address)) {
            return refuse(arguments, "address6 must be an IPv6 CIDR, got " + *raw.address6);
        }
        address6 = *parsed;
    }

    // Key-file errors come only after every argument text was found valid.
    auto config = load_key_file(path, raw.peer_key, std::move(raw.endpoint), shown);
    if (!config) return refuse(PlanStep::input_file, std::move(config.error()));
    config->address = address;
    config->allowed_ips = std::move(allowed_ips);
    config->address6 = address6;
    config->allowed_ips6 = std::move(allowed_ips6);
    return planned(*options, std::move(*config));
}

}  // namespace quorlin::input
