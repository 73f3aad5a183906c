// Feeds arbitrary bytes to the DNS response recognisers (A over IPv4, AAAA
// over either version) and the name walkers.
// The first byte picks the mode: the raw bytes as a received packet; the bytes
// as a DNS message inside a well-formed IPv4/UDP packet (so the fuzzer spends
// its time behind the checksums); a name walk with a fuzzer-chosen name; or
// the raw bytes as a packet with its IPv4 header checksum repaired and its UDP
// checksum cleared, so the IPv4 and UDP length fields get explored too.

#include "ipv4_repair.hpp"
#include "packet/dns.hpp"
#include "packet/udp.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace {

using namespace quorlin;

const Ipv4Octets server{10, 0, 0, 1};
const Ipv4Octets client{10, 0, 0, 2};
const Ipv6Octets server6{0xfd, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const Ipv6Octets client6{0xfd, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
constexpr std::uint16_t port = 40000;
constexpr std::uint16_t query_id = 0x1234;
constexpr std::string_view name = "ab.cd";

std::vector<std::uint8_t> wrap(std::span<const std::uint8_t> message) {
    std::vector<std::uint8_t> segment(udp_header_bytes, 0);
    segment.insert(segment.end(), message.begin(), message.end());
    write_be16(segment, 0, dns_port);
    write_be16(segment, 2, port);
    write_be16(segment, 4, static_cast<std::uint16_t>(segment.size() & 0xFFFF));
    return ipv4_packet(server, client, ip_protocol_udp, 1, segment);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    switch (data[0] % 4) {
    case 0:
        (void)parse_dns_a_response(input, server, client, port, query_id, name);
        (void)parse_dns_response(input, server6, client6, port, query_id, name, DnsType::aaaa);
        break;
    case 1:
        (void)parse_dns_a_response(wrap(input), server, client, port, query_id, name);
        (void)parse_dns_response(wrap(input), server, client, port, query_id, name, DnsType::aaaa);
        break;
    case 2: {
        if (input.empty()) break;
        const std::size_t name_length = std::min<std::size_t>(input[0], input.size() - 1);
        const std::string_view queried(reinterpret_cast<const char*>(input.data() + 1), name_length);
        const auto message = input.subspan(1 + name_length);
        (void)name_matches(message, queried);
        for (std::size_t start = 0; start <= message.size(); ++start) (void)skip_name(message, start);
        (void)dns_query(client, server, port, query_id, 1, queried);
        break;
    }
    default: {
        std::vector<std::uint8_t> packet(input.begin(), input.end());
        const auto udp = fuzz::repair_ipv4_header(packet);
        if (udp.size() >= udp_header_bytes) write_be16(udp, 6, 0);  // zero: not verified
        (void)parse_dns_a_response(packet, server, client, port, query_id, name);
        break;
    }
    }
    return 0;
}
