#pragma once
// The caller's option texts turned into typed values (ProbeOptions), and the
// options combined with a configuration into a validated plan.

#include "common/clock.hpp"
#include "config/ip_address.hpp"
#include "config/ipv4_cidr.hpp"
#include "config/probe_config.hpp"
#include "input/service_target_text.hpp"
#include "input/timeout.hpp"
#include "probe/plan.hpp"

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorlin::input {

// How refusals name the options: by the keys of a fleet file and the module's
// keywords (ping_count), or as the command's options (--ping-count).
enum class OptionSpelling : std::uint8_t { keywords, command_line };

// The options both probe modes share, as the caller wrote them; the limits
// are still unchecked millisecond counts.
struct OptionTexts {
    std::vector<std::string> ping;
    std::vector<std::string> resolve;
    std::optional<std::string> dns_server;
    std::vector<std::string> tcp;
    std::vector<std::string> tls;
    std::optional<std::string> tls_server_name;
    std::optional<std::string> ca_file;
    std::vector<std::string> http;
    std::optional<std::string> http_status;
    std::optional<std::string> http_expect;
    std::int64_t handshake_timeout_ms = default_handshake_timeout_ms;
    std::int64_t ping_timeout_ms = default_ping_timeout_ms;
    std::int64_t dns_timeout_ms = default_dns_timeout_ms;
    std::int64_t tcp_timeout_ms = default_tcp_timeout_ms;
    std::int64_t deadline_ms = default_deadline_ms;
    std::int64_t ping_count = 1;
    std::int64_t ping_interval_ms = static_cast<std::int64_t>(default_ping_interval_ms);
    bool mtu_check = false;
    std::optional<std::int64_t> mtu;
    OptionSpelling spelling = OptionSpelling::keywords;
};

// The names refusals use for `spelling`.
const PlanOptionNames& option_names(OptionSpelling spelling) noexcept;

// A strict dotted quad, or "<label> must be an IPv4 address, got <text>".
std::expected<Ipv4Address, std::string> parse_ipv4(std::string_view text, std::string_view label);

// An IPv4 prefix ("a.b.c.d/n", host bits kept), or
// "<label> must be an IPv4 CIDR, got <text>".
std::expected<Ipv4Cidr, std::string> parse_cidr(std::string_view text, std::string_view label);

// An IPv6 prefix ("addr/n", host bits kept, no zone or brackets), or
// "<label> must be an IPv6 CIDR, got <text>".
std::expected<Ipv6Cidr, std::string> parse_cidr6(std::string_view text, std::string_view label);

// A plan refused: by its validation, or because it cannot finish in time.
struct PlanRefusalText {
    bool deadline = false;
    std::string message;
};

struct ProbeOptions {
    std::vector<IpAddress> ping;  // caller's order, duplicates kept
    std::vector<std::string> resolve;
    std::optional<Ipv4Address> dns_server;
    std::vector<TcpTarget> tcp;
    std::vector<TlsTarget> tls;
    std::optional<std::string> tls_server_name;
    std::optional<std::string> ca_file;  // a path, read when the plan is made
    std::vector<HttpTarget> http;
    HttpStatusRanges http_status = default_http_statuses;
    std::optional<std::string> http_expect;
    Duration handshake_timeout;
    Duration ping_timeout;
    Duration dns_timeout;
    Duration tcp_timeout;
    Duration overall_deadline;
    std::uint32_t ping_count = 1;
    Duration ping_interval;
    bool mtu_check = false;
    std::optional<std::uint32_t> mtu;
    OptionSpelling spelling = OptionSpelling::keywords;

    // Ping texts first, then dns_server, then the TCP, TLS and HTTP texts,
    // then the time limits in the order below, then ping_count,
    // ping_interval_ms and mtu; the first failure is the message.
    static std::expected<ProbeOptions, std::string> parse(OptionTexts texts);

    // A plan owning `config`, with these checks and limits, validated, and
    // then refused when it cannot finish within its deadline (plan_deadline.hpp);
    // on failure the plan (and with it the keys) is released and the message
    // returned.
    std::expected<ProbePlan, PlanRefusalText> plan(ProbeConfig config) const;
};

// The time limits by name, in the order ProbeOptions::parse checks them:
// the key a fleet file and a refusal use, and the command-line option.
struct TimeLimitName {
    std::string_view key;     // "deadline_ms"
    std::string_view option;  // "deadline-ms", without the dashes
    std::int64_t OptionTexts::*text;
    Duration ProbeOptions::*value;
};
inline constexpr std::array<TimeLimitName, 5> time_limit_names = {{
    {"handshake_timeout_ms", "handshake-timeout-ms", &OptionTexts::handshake_timeout_ms, &ProbeOptions::handshake_timeout},
    {"ping_timeout_ms", "ping-timeout-ms", &OptionTexts::ping_timeout_ms, &ProbeOptions::ping_timeout},
    {"dns_timeout_ms", "dns-timeout-ms", &OptionTexts::dns_timeout_ms, &ProbeOptions::dns_timeout},
    {"tcp_timeout_ms", "tcp-timeout-ms", &OptionTexts::tcp_timeout_ms, &ProbeOptions::tcp_timeout},
    {"deadline_ms", "deadline-ms", &OptionTexts::deadline_ms, &ProbeOptions::overall_deadline},
}};

}  // namespace quorlin::input
