#include "input/options.hpp"

#include "input/timeout.hpp"

#include <utility>

namespace quorlin::input {

std::expected<Ipv4Address, std::string> parse_ipv4(std::string_view text, std::string_view label) {
    if (auto address = parse_ipv4_address(text)) return *address;
    return std::unexpected(std::string(label) + " must be an IPv4 address, got " + std::string(text));
}

std::expected<Ipv4Cidr, std::string> parse_cidr(std::string_view text, std::string_view label) {
    if (auto cidr = Ipv4Cidr::from_str(text)) return *cidr;
    return std::unexpected(std::string(label) + " must be an IPv4 CIDR, got " + std::string(text));
}

std::expected<ProbeOptions, std::string> ProbeOptions::parse(OptionTexts texts) {
    ProbeOptions options;
    options.ping.reserve(texts.ping.size());
    for (const std::string& text : texts.ping) {
        auto target = parse_ipv4(text, "ping target");
        if (!target) return std::unexpected(std::move(target.error()));
        options.ping.push_back(*target);
    }
    if (texts.dns_server) {
        auto server = parse_ipv4(*texts.dns_server, "dns_server");
        if (!server) return std::unexpected(std::move(server.error()));
        options.dns_server = *server;
    }
    const struct {
        std::int64_t value_ms;
        std::string_view name;
        Duration& field;
    } limits[] = {
        {texts.handshake_timeout_ms, "handshake_timeout_ms", options.handshake_timeout},
        {texts.ping_timeout_ms, "ping_timeout_ms", options.ping_timeout},
        {texts.dns_timeout_ms, "dns_timeout_ms", options.dns_timeout},
        {texts.deadline_ms, "deadline_ms", options.overall_deadline},
    };
    for (const auto& limit : limits) {
        auto duration = timeout(limit.value_ms, limit.name);
        if (!duration) return std::unexpected(std::move(duration.error()));
        limit.field = *duration;
    }
    options.resolve = std::move(texts.resolve);
    return options;
}

std::expected<ProbePlan, std::string> ProbeOptions::plan(ProbeConfig config) const {
    ProbePlan plan(std::move(config));
    plan.handshake_timeout = handshake_timeout;
    plan.ping_timeout = ping_timeout;
    plan.dns_timeout = dns_timeout;
    plan.overall_deadline = overall_deadline;
    plan.ping = ping;
    plan.resolve = resolve;
    if (dns_server) plan.dns_server = *dns_server;
    // Validated here as well as at the start of the run, so that an unusable
    // combination is an exception rather than a local_error report.
    if (auto valid = plan.validate(); !valid) return std::unexpected(std::move(valid.error().message));
    return plan;
}

}  // namespace quorlin::input
