#pragma once
// The DNS A-record check's inner packets: the IPv4/UDP query to port 53 and
// the recogniser for its response (RFC 1035 wire format), and the names of
// response codes.

#include "packet/dns_name.hpp"
#include "packet/ipv4.hpp"

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

// A complete IPv4/UDP packet carrying a recursive A/IN query for `name`, or
// the reason the name cannot be sent. Name rules: trailing dots removed, then
// 1 to 253 bytes, every label 1 to 63 bytes below 128; case and every other
// ASCII byte are sent as given. A computed UDP checksum of 0 is sent as 0xFFFF.
std::expected<std::vector<std::uint8_t>, std::string> dns_query(
    const Ipv4Octets& source, const Ipv4Octets& destination, std::uint16_t source_port,
    std::uint16_t query_id, std::uint16_t ip_identification, std::string_view name);

// A response's code (RCODE: 0 NOERROR, 2 SERVFAIL, 3 NXDOMAIN, 5 REFUSED, ...)
// and its A-record addresses in answer order, possibly none.
struct DnsAnswer {
    std::uint8_t response_code = 0;
    std::vector<Ipv4Octets> a_records;
    friend bool operator==(const DnsAnswer&, const DnsAnswer&) = default;
};
inline constexpr std::uint8_t dns_noerror = 0;

// The answer of a response from `dns_server` port 53 to `client` port
// `source_port` that answers exactly this query, whatever its response code
// (NXDOMAIN with no answers is a match with no addresses); nullopt for
// anything else, malformed input included.
std::optional<DnsAnswer> parse_dns_a_response(
    std::span<const std::uint8_t> packet, const Ipv4Octets& dns_server, const Ipv4Octets& client,
    std::uint16_t source_port, std::uint16_t query_id, std::string_view name);

// "NOERROR", "SERVFAIL", "NXDOMAIN", "REFUSED", ... as RFC 1035 and RFC 6895
// name them; "RCODE 12" for a code without a name.
std::string dns_response_code_name(std::uint8_t code);

}  // namespace quorlin
