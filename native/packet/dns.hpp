#pragma once
// The DNS A-record check's inner packets: the IPv4/UDP query to port 53 and
// the recogniser for its response (RFC 1035 wire format).

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

// The A-record addresses (answer order, possibly none) of a response from
// `dns_server` port 53 to `client` port `source_port` that answers exactly
// this query; nullopt for anything else, malformed input included. Response
// codes are not looked at: NXDOMAIN with no answers is a match with no
// addresses.
std::optional<std::vector<Ipv4Octets>> parse_dns_a_response(
    std::span<const std::uint8_t> packet, const Ipv4Octets& dns_server, const Ipv4Octets& client,
    std::uint16_t source_port, std::uint16_t query_id, std::string_view name);

}  // namespace quorlin
