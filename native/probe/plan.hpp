#pragma once
// The complete description of one probe run: the configuration, the data
// checks in the caller's order and the time limits. It is checked by
// `validate` before any traffic, once when the caller's options are turned
// into a plan and again as the run's first step.

#include "common/clock.hpp"
#include "config/ip_address.hpp"
#include "config/ipv4_cidr.hpp"
#include "config/probe_config.hpp"
#include "probe/probe_error.hpp"
#include "probe/service_target.hpp"

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorlin {

inline constexpr std::uint32_t max_ping_count = 100;
inline constexpr std::uint64_t default_ping_interval_ms = 200;
inline constexpr std::uint64_t min_ping_interval_ms = 10;
inline constexpr std::uint32_t min_mtu = 576;  // the least every IPv4 path must carry
inline constexpr std::uint32_t max_mtu = 9000;
inline constexpr std::uint32_t default_mtu = 1420;
// The longest time limit or deadline a caller may ask for: 24 hours.
inline constexpr std::uint64_t max_limit_ms = 86'400'000;
// A TCP check's limit when the caller sets none: a SYN, and the one resent
// after the first second without an answer (TCP's initial retransmission
// timeout), each given time to be answered.
inline constexpr std::uint64_t default_tcp_timeout_ms = 3000;
// IPv4 and TCP headers without options: the MSS a TCP check announces is the
// tunnel's MTU less these.
inline constexpr std::uint32_t tcp_ipv4_header_bytes = 40;


// How a refusal names the options: a fleet file's keys and the module's
// keywords, or the command's options.
struct PlanOptionNames {
    std::string_view ping_count;
    std::string_view ping_interval;
    std::string_view deadline;
    std::string_view handshake_timeout;
    std::string_view ping_timeout;
    std::string_view dns_timeout;
    std::string_view mtu;
    std::string_view tcp_timeout;
};
inline constexpr PlanOptionNames plan_keyword_names{"ping_count",      "ping_interval_ms", "deadline_ms",
                                                    "handshake_timeout_ms", "ping_timeout_ms", "dns_timeout_ms",
                                                    "mtu",             "tcp_timeout_ms"};

// Owns its configuration (and so the keys in it): moved, never copied; the
// keys are wiped when the plan is released.
struct ProbePlan {
    ProbeConfig config;
    std::vector<IpAddress> ping;        // one echo check each, in order; duplicates allowed
    std::vector<std::string> resolve;   // one A-record check each, in order; duplicates allowed
    std::vector<TcpTarget> tcp;         // one connection check each, in order; duplicates allowed
    std::vector<TlsTarget> tls;         // one TLS handshake check each, in order
    std::vector<HttpTarget> http;       // one HTTP GET check each, in order
    // The name a TLS check sends as SNI and checks the certificate against
    // when its host is an address (a named host is its own).
    std::optional<std::string> tls_server_name;
    // PEM certificates of the CAs the TLS checks trust instead of the
    // system's store.
    std::optional<std::string> ca_certificates;
    HttpStatusRanges http_status = default_http_statuses;
    std::optional<std::string> http_expect;  // a plain substring the body must hold
    // Zero until set, which validation refuses, so a forgotten limit cannot
    // turn into an unbounded wait.
    Duration handshake_timeout;
    Duration ping_timeout;              // per ping check
    Duration dns_timeout;               // per DNS check
    // Per TCP, TLS or HTTP check (name lookup, connection, handshake and
    // request together); set for callers that never name it, since only
    // those checks read it.
    Duration tcp_timeout = Duration::from_millis(default_tcp_timeout_ms);
    Duration overall_deadline;          // from the run's start instant
    std::optional<Ipv4Address> dns_server;  // overrides the configuration's DNS servers
    // Echoes per ping target, each its own phase, and the time from one
    // echo's start to the next one's to the same target.
    std::uint32_t ping_count = 1;
    Duration ping_interval = Duration::from_millis(default_ping_interval_ms);
    // The path MTU search through the tunnel to the first ping target, and
    // the inner packet size it expects to cross: `mtu` when set, else the
    // configuration's MTU, else WireGuard's usual 1420. TCP checks announce
    // that size less the headers as their MSS.
    bool mtu_check = false;
    std::optional<std::uint32_t> mtu;
    // Whether the run takes its key's turn on this machine before the
    // handshake (see key_turn.hpp); the turn is waited for until the overall
    // deadline, and the handshake's limit runs from the moment it is taken.
    // The command, the fleet and the exporter do.
    bool take_key_turn = false;

    explicit ProbePlan(ProbeConfig config) noexcept : config(std::move(config)) {}

    // The caller's `dns_server` if set; else the configuration's first DNS
    // server if that one is IPv4 (a later IPv4 entry behind an IPv6 one is
    // not used); else none.
    std::optional<Ipv4Address> effective_dns_server() const noexcept;

    // Source of the inner packets: the interface address (prefix length
    // ignored), or 0.0.0.0 without one.
    Ipv4Address inner_source_address() const noexcept;
    // Source of the inner IPv6 packets: the interface's IPv6 address, or ::
    // without one (validation refuses IPv6 checks then).
    Ipv6Address inner_source_address6() const noexcept;

    // The inner packet size the MTU check expects to cross; refused when
    // it comes from a configuration MTU that is not a size from min_mtu
    // through max_mtu.
    std::expected<std::uint32_t, ProbeError> expected_mtu() const;

    // Whether a TCP, TLS or HTTP check is asked for.
    bool has_service_checks() const noexcept { return !tcp.empty() || !tls.empty() || !http.empty(); }

    // The MSS a TCP check announces: the expected MTU less the IPv4 and TCP
    // headers (WireGuard's usual 1420 when the configuration's MTU is unusable).
    std::uint16_t tcp_mss() const noexcept;

    // Checks the plan without changing it, reading the monotonic clock once;
    // the first failing check's message is the error, naming options by `names`.
    std::expected<void, ProbeError> validate(const PlanOptionNames& names = plan_keyword_names) const;
};

// Appends one ping target at the end of the plan's list.
ProbePlan ping(ProbePlan plan, IpAddress target);

// True when at least one prefix in `allowed_ips` contains `address` (host
// bits of a prefix beyond its length never matter).
bool allowed_ips_contain(std::span<const Ipv4Cidr> allowed_ips, Ipv4Address address) noexcept;
bool allowed_ips_contain(std::span<const Ipv6Cidr> allowed_ips, const Ipv6Address& address) noexcept;

}  // namespace quorlin
