#pragma once
// The DNS check's inner packets: the A or AAAA query to port 53 over IPv4
// or IPv6 and the recogniser for its response (RFC 1035 wire format, AAAA
// from RFC 3596), and the names of response codes.

#include "packet/dns_name.hpp"
#include "packet/ipv4.hpp"
#include "packet/ipv6.hpp"

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorlin {

inline constexpr std::uint16_t dns_port = 53;
inline constexpr std::size_t dns_max_name_text_bytes = 253;
inline constexpr std::size_t dns_max_label_bytes = 63;

inline constexpr std::string_view dns_name_length_message = "DNS name must contain 1 to 253 characters";
inline constexpr std::string_view dns_label_message = "DNS labels must contain 1 to 63 ASCII characters";

// The record types a check asks for.
enum class DnsType : std::uint16_t { a = 1, aaaa = 28 };

// A complete IPv4/UDP packet carrying a recursive query of `type`, class IN,
// for `name`, or the reason the name cannot be sent. Name rules: trailing
// dots removed, then 1 to 253 bytes, every label 1 to 63 bytes below 128;
// case and every other ASCII byte are sent as given. A computed UDP checksum
// of 0 is sent as 0xFFFF.
std::expected<std::vector<std::uint8_t>, std::string> dns_query(
    const Ipv4Octets& source, const Ipv4Octets& destination, std::uint16_t source_port,
    std::uint16_t query_id, std::uint16_t ip_identification, std::string_view name, DnsType type = DnsType::a);

// The same query in an IPv6/UDP packet, to a resolver inside the tunnel
// reached over IPv6.
std::expected<std::vector<std::uint8_t>, std::string> dns_query(
    const Ipv6Octets& source, const Ipv6Octets& destination, std::uint16_t source_port,
    std::uint16_t query_id, std::string_view name, DnsType type);

// A response's code (RCODE: 0 NOERROR, 2 SERVFAIL, 3 NXDOMAIN, 5 REFUSED, ...)
// and the addresses of the type asked, in answer order, possibly none.
struct DnsAnswer {
    std::uint8_t response_code = 0;
    std::vector<Ipv4Octets> a_records;
    std::vector<Ipv6Octets> aaaa_records;
    friend bool operator==(const DnsAnswer&, const DnsAnswer&) = default;
};
inline constexpr std::uint8_t dns_noerror = 0;

// The answer of a response from `dns_server` port 53 to `client` port
// `source_port` that answers exactly this query (its id, its first question:
// `name`, `type`, class IN), whatever its response code (NXDOMAIN with no
// answers is a match with no addresses); nullopt for anything else,
// malformed input included. Records of other types (a CNAME chain's) are
// skipped.
std::optional<DnsAnswer> parse_dns_response(
    std::span<const std::uint8_t> packet, const Ipv4Octets& dns_server, const Ipv4Octets& client,
    std::uint16_t source_port, std::uint16_t query_id, std::string_view name, DnsType type);
// Over IPv6, where a UDP datagram must carry a checksum.
std::optional<DnsAnswer> parse_dns_response(
    std::span<const std::uint8_t> packet, const Ipv6Octets& dns_server, const Ipv6Octets& client,
    std::uint16_t source_port, std::uint16_t query_id, std::string_view name, DnsType type);

// The A query's answer: parse_dns_response with DnsType::a.
std::optional<DnsAnswer> parse_dns_a_response(
    std::span<const std::uint8_t> packet, const Ipv4Octets& dns_server, const Ipv4Octets& client,
    std::uint16_t source_port, std::uint16_t query_id, std::string_view name);

// "NOERROR", "SERVFAIL", "NXDOMAIN", "REFUSED", ... as RFC 1035 and RFC 6895
// name them; "RCODE 12" for a code without a name.
std::string dns_response_code_name(std::uint8_t code);

}  // namespace quorlin
