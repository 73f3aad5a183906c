#include "probe/plan.hpp"

#include "config/low_order_key.hpp"
#include "packet/dns.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <utility>
#include <variant>

namespace quorlin {
namespace {

std::unexpected<ProbeError> failure(std::string message) { return std::unexpected(ProbeError{std::move(message)}); }

std::optional<std::string> valid_name_refusal(std::string_view what, const std::string& name) {
    const auto query = dns_query(Ipv4Octets{}, Ipv4Octets{}, 1, 1, 1, name);
    if (!query) return std::string(what) + " " + name + ": " + query.error();
    return std::nullopt;
}

// TLS and HTTP hosts: an address inside AllowedIPs, or a name the tunnel's
// DNS server (inside AllowedIPs) can be asked for.
std::optional<std::string> service_hosts_refusal(const ProbePlan& plan, const std::optional<Ipv4Address>& server) {
    const auto host_refusal = [&](std::string_view kind, const std::string& target,
                                  const ServiceHost& host) -> std::optional<std::string> {
        if (host.address) {
            if (allowed_ips_contain(plan.config.allowed_ips, *host.address)) return std::nullopt;
            return std::string(kind) + " target " + target + " is outside Peer AllowedIPs";
        }
        if (!server) {
            return std::string(kind) + " target " + target +
                   " names a host: it needs an IPv4 Interface DNS server or --dns-server to resolve it";
        }
        if (!allowed_ips_contain(plan.config.allowed_ips, *server)) {
            return "DNS server " + server->to_text() + " is outside Peer AllowedIPs";
        }
        return valid_name_refusal("invalid host name in " + std::string(kind) + " target", host.text);
    };
    for (const TlsTarget& target : plan.tls) {
        if (auto refused = host_refusal("TLS", target.to_text(), target.host)) return refused;
    }
    for (const HttpTarget& target : plan.http) {
        if (auto refused = host_refusal("HTTP", target.url, target.host)) return refused;
    }
    if (plan.tls_server_name) return valid_name_refusal("invalid TLS server name", *plan.tls_server_name);
    return std::nullopt;
}

}  // namespace

std::optional<Ipv4Address> ProbePlan::effective_dns_server() const noexcept {
    if (dns_server) return dns_server;
    if (!config.dns_servers.empty()) {
        if (const auto* first = std::get_if<Ipv4Address>(&config.dns_servers.front())) return *first;
    }
    return std::nullopt;
}

Ipv4Address ProbePlan::inner_source_address() const noexcept {
    return config.address ? config.address->address : Ipv4Address{};
}

Ipv6Address ProbePlan::inner_source_address6() const noexcept {
    return config.address6 ? config.address6->address : Ipv6Address{};
}

std::expected<std::uint32_t, ProbeError> ProbePlan::expected_mtu() const {
    if (mtu) return *mtu;
    if (!config.mtu) return default_mtu;
    std::uint32_t size = 0;
    const std::string& text = *config.mtu;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty() || text[0] == '+' ||
        size < min_mtu || size > max_mtu) {
        return failure("Interface MTU must be an integer from " + std::to_string(min_mtu) + " through " +
                       std::to_string(max_mtu) + ", got " + text);
    }
    return size;
}

std::uint16_t ProbePlan::tcp_mss() const noexcept {
    return static_cast<std::uint16_t>(expected_mtu().value_or(default_mtu) - tcp_ipv4_header_bytes);
}

std::expected<void, ProbeError> ProbePlan::validate(const PlanOptionNames& names) const {
    const Instant now = Clock::now();
    const std::array<Duration, 5> limits{handshake_timeout, ping_timeout, dns_timeout, tcp_timeout, overall_deadline};
    // Representability is checked for all of them before any is tested for zero.
    for (const Duration limit : limits) {
        if (!checked_add(now, limit)) {
            return failure("timeouts and the overall deadline must be representable by the system clock");
        }
    }
    for (const Duration limit : limits) {
        if (limit.is_zero()) return failure("all timeouts and the overall deadline must be greater than zero");
    }

    if (is_low_order_public_key(config.peer_public_key)) {
        return failure("Peer PublicKey (or --peer-key) is a low-order point: no handshake with it can succeed");
    }

    if (ping_count < 1 || ping_count > max_ping_count) {
        return failure(std::string(names.ping_count) + " must be an integer from 1 through " + std::to_string(max_ping_count));
    }
    if (ping_interval < Duration::from_millis(min_ping_interval_ms)) {
        return failure(std::string(names.ping_interval) + " must be at least " + std::to_string(min_ping_interval_ms));
    }
    if (mtu && !mtu_check && !has_service_checks()) {
        return failure(std::string(names.mtu) + " applies only with the MTU check or a TCP check");
    }
    if (mtu && (*mtu < min_mtu || *mtu > max_mtu)) {
        return failure(std::string(names.mtu) + " must be an integer from " + std::to_string(min_mtu) + " through " + std::to_string(max_mtu));
    }
    if (mtu_check || has_service_checks()) {
        if (mtu_check && ping.empty()) return failure("the MTU check needs a ping target: it measures the path to the first one");
        if (mtu_check && !std::holds_alternative<Ipv4Address>(ping.front())) {
            return failure("the MTU check searches over IPv4: its first ping target must be an IPv4 address");
        }
        if (auto expected = expected_mtu(); !expected) return std::unexpected(std::move(expected.error()));
    }

    // IPv6 ping targets need the IPv6 side of the configuration, and only they do.
    for (const IpAddress& target : ping) {
        const auto* v6 = std::get_if<Ipv6Address>(&target);
        if (v6 == nullptr) continue;
        if (!config.address6) return failure("IPv6 checks require an IPv6 Interface Address (or --address6)");
        if (!allowed_ips_contain(config.allowed_ips6, *v6)) {
            return failure("ping target " + v6->to_text() + " is outside Peer AllowedIPs");
        }
    }
    const bool ipv4_ping = std::ranges::any_of(ping, [](const IpAddress& target) {
        return std::holds_alternative<Ipv4Address>(target);
    });

    // Without IPv4 data checks neither an IPv4 address nor AllowedIPs is needed.
    if (!ipv4_ping && resolve.empty() && !has_service_checks()) return {};
    if (!config.address) return failure("data checks require an IPv4 Interface Address (or --address)");
    if (config.allowed_ips.empty()) return failure("data checks require IPv4 Peer AllowedIPs (or --allowed-ip)");

    const std::optional<Ipv4Address> server = effective_dns_server();
    if (!resolve.empty() && !server) return failure("DNS checks require an IPv4 Interface DNS server or --dns-server");

    for (const IpAddress& target : ping) {
        const auto* v4 = std::get_if<Ipv4Address>(&target);
        if (v4 != nullptr && !allowed_ips_contain(config.allowed_ips, *v4)) {
            return failure("ping target " + v4->to_text() + " is outside Peer AllowedIPs");
        }
    }
    for (const TcpTarget& target : tcp) {
        if (!allowed_ips_contain(config.allowed_ips, target.address)) {
            return failure("TCP target " + target.to_text() + " is outside Peer AllowedIPs");
        }
    }
    if (auto refused = service_hosts_refusal(*this, server)) return failure(std::move(*refused));
    if (resolve.empty()) return {};
    if (!allowed_ips_contain(config.allowed_ips, *server)) {
        return failure("DNS server " + server->to_text() + " is outside Peer AllowedIPs");
    }

    // The query builder is the one authority on names: a name it would refuse
    // during the run is refused here, before any traffic.
    for (const std::string& name : resolve) {
        const auto query = dns_query(Ipv4Octets{}, Ipv4Octets{}, 1, 1, 1, name);
        if (!query) return failure("invalid DNS name " + name + ": " + query.error());
    }
    return {};
}

ProbePlan ping(ProbePlan plan, IpAddress target) {
    plan.ping.push_back(target);
    return plan;
}

bool allowed_ips_contain(std::span<const Ipv4Cidr> allowed_ips, Ipv4Address address) noexcept {
    return std::ranges::any_of(allowed_ips, [&](const Ipv4Cidr& prefix) { return prefix.contains(address); });
}

bool allowed_ips_contain(std::span<const Ipv6Cidr> allowed_ips, const Ipv6Address& address) noexcept {
    return std::ranges::any_of(allowed_ips, [&](const Ipv6Cidr& prefix) { return prefix.contains(address); });
}

}  // namespace quorlin
