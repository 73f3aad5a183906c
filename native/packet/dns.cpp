#include "packet/dns.hpp"

#include "common/bytes.hpp"
#include "packet/udp.hpp"

#include <algorithm>
#include <array>

namespace quorlin {
namespace {

constexpr std::uint16_t dns_flags_recursion_desired = 0x0100;
constexpr std::uint16_t dns_class_in = 1;
constexpr std::size_t dns_question_tail_bytes = 4;   // QTYPE, QCLASS
constexpr std::size_t dns_record_fixed_bytes = 10;   // TYPE, CLASS, TTL, RDLENGTH
constexpr std::size_t udp_dns_min_bytes = udp_header_bytes + dns_header_bytes;

bool is_ascii(std::string_view text) noexcept {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

namespace {

// The UDP segment of a query, its checksum field still zero.
std::expected<std::vector<std::uint8_t>, std::string> query_segment(std::uint16_t source_port, std::uint16_t query_id,
                                                                    std::string_view name, DnsType type) {
    const std::string_view trimmed = without_trailing_dots(name);
    if (trimmed.empty() || trimmed.size() > dns_max_name_text_bytes) {
        return std::unexpected(std::string(dns_name_length_message));
    }

    // The UDP header goes first and is filled in once the message is complete.
    std::vector<std::uint8_t> segment(udp_header_bytes, 0);
    segment.reserve(udp_header_bytes + dns_header_bytes + trimmed.size() + 2 + dns_question_tail_bytes);
    append_be16(segment, query_id);
    append_be16(segment, dns_flags_recursion_desired);
    append_be16(segment, 1);  // QDCOUNT
    append_be16(segment, 0);  // ANCOUNT
    append_be16(segment, 0);  // NSCOUNT
    append_be16(segment, 0);  // ARCOUNT

    NameLabels labels(trimmed);
    while (const auto label = labels.next()) {
        if (label->empty() || label->size() > dns_max_label_bytes || !is_ascii(*label)) {
            return std::unexpected(std::string(dns_label_message));
        }
        segment.push_back(static_cast<std::uint8_t>(label->size()));
        segment.insert(segment.end(), label->begin(), label->end());
    }
    segment.push_back(0);
    append_be16(segment, static_cast<std::uint16_t>(type));
    append_be16(segment, dns_class_in);

    const std::span<std::uint8_t> bytes(segment);
    write_be16(bytes, 0, source_port);
    write_be16(bytes, 2, dns_port);
    write_be16(bytes, 4, static_cast<std::uint16_t>(segment.size() & 0xFFFF));
    return segment;
}

template <class Octets>
void seal(std::vector<std::uint8_t>& segment, const Octets& source, const Octets& destination) {
    const std::uint16_t checksum = udp_checksum(source, destination, segment);
    // A zero field means "no checksum" in UDP, so a computed zero goes out as 0xFFFF.
    write_be16(segment, 6, checksum == 0 ? 0xFFFF : checksum);
}

}  // namespace

std::expected<std::vector<std::uint8_t>, std::string> dns_query(
    const Ipv4Octets& source, const Ipv4Octets& destination, std::uint16_t source_port,
    std::uint16_t query_id, std::uint16_t ip_identification, std::string_view name, DnsType type) {
    auto segment = query_segment(source_port, query_id, name, type);
    if (!segment) return segment;
    seal(*segment, source, destination);
    return ipv4_packet(source, destination, ip_protocol_udp, ip_identification, *segment);
}

std::expected<std::vector<std::uint8_t>, std::string> dns_query(
    const Ipv6Octets& source, const Ipv6Octets& destination, std::uint16_t source_port,
    std::uint16_t query_id, std::string_view name, DnsType type) {
    auto segment = query_segment(source_port, query_id, name, type);
    if (!segment) return segment;
    seal(*segment, source, destination);
    return ipv6_packet(source, destination, ip_protocol_udp, *segment);
}

namespace {

// The DNS message of a UDP datagram from the server's port 53 to our source
// port; its checksum holds, or is absent where the IP version allows that
// (IPv4 only).
template <class Octets>
std::optional<std::span<const std::uint8_t>> dns_message_in(std::span<const std::uint8_t> udp,
                                                            const Octets& dns_server, const Octets& client,
                                                            std::uint16_t source_port, bool checksum_optional) {
    if (udp.size() < udp_dns_min_bytes) return std::nullopt;
    if (read_be16(udp, 0) != dns_port) return std::nullopt;
    const std::size_t udp_length = read_be16(udp, 4);
    if (udp_length > udp.size() || udp_length < udp_dns_min_bytes) return std::nullopt;
    if (read_be16(udp, 2) != source_port) return std::nullopt;
    const std::span<const std::uint8_t> segment = udp.first(udp_length);
    const bool unchecked = read_be16(segment, 6) == 0;
    if (unchecked ? !checksum_optional : udp_checksum(dns_server, client, segment) != 0) return std::nullopt;
    return segment.subspan(udp_header_bytes);
}

// Where the question section ends, when its first question is `name`, `type`,
// class IN, and the others are well formed.
std::optional<std::size_t> questions_end(std::span<const std::uint8_t> message, std::size_t question_count,
                                         std::string_view name, DnsType type) {
    const NameMatch question = name_matches(message, name);
    if (question.kind != NameMatchKind::Match) return std::nullopt;
    std::size_t position = question.end;
    if (message.size() - position < dns_question_tail_bytes) return std::nullopt;
    if (read_be16(message, position) != static_cast<std::uint16_t>(type) ||
        read_be16(message, position + 2) != dns_class_in) {
        return std::nullopt;
    }
    position += dns_question_tail_bytes;
    for (std::size_t i = 1; i < question_count; ++i) {
        const auto end = skip_name(message, position);
        if (!end || message.size() - *end < dns_question_tail_bytes) return std::nullopt;
        position = *end + dns_question_tail_bytes;
    }
    return position;
}

template <std::size_t Size>
void collect(std::vector<std::array<std::uint8_t, Size>>& addresses, std::span<const std::uint8_t> data) {
    std::array<std::uint8_t, Size> address;
    std::ranges::copy(data, address.begin());
    addresses.push_back(address);
}

// The records of `type` (class IN, of the type's address size) among the
// answers from `position`, in answer order, into `answer`; false when a
// record runs past the message.
bool collect_records(std::span<const std::uint8_t> message, std::size_t position, std::size_t answer_count,
                     DnsType type, DnsAnswer& answer) {
    const std::size_t address_bytes = type == DnsType::a ? 4 : 16;
    for (std::size_t i = 0; i < answer_count; ++i) {
        const auto end = skip_name(message, position);
        if (!end || message.size() - *end < dns_record_fixed_bytes) return false;
        position = *end;
        const std::uint16_t record_type = read_be16(message, position);
        const std::uint16_t record_class = read_be16(message, position + 2);
        const std::size_t data_length = read_be16(message, position + 8);
        position += dns_record_fixed_bytes;
        if (message.size() - position < data_length) return false;
        if (record_type == static_cast<std::uint16_t>(type) && record_class == dns_class_in &&
            data_length == address_bytes) {
            const auto data = message.subspan(position, data_length);
            if (type == DnsType::a) collect(answer.a_records, data);
            else collect(answer.aaaa_records, data);
        }
        position += data_length;
    }
    return true;
}

std::optional<DnsAnswer> answer_of(std::span<const std::uint8_t> message, std::uint16_t query_id,
                                   std::string_view name, DnsType type) {
    // The header: our query's id, a response, at least one question.
    if (read_be16(message, 0) != query_id) return std::nullopt;
    if ((message[2] & 0x80) == 0) return std::nullopt;
    const std::size_t question_count = read_be16(message, 4);
    const std::size_t answer_count = read_be16(message, 6);
    if (question_count == 0) return std::nullopt;
    const auto answers_start = questions_end(message, question_count, name, type);
    if (!answers_start) return std::nullopt;
    DnsAnswer answer{.response_code = static_cast<std::uint8_t>(message[3] & 0x0F)};
    if (!collect_records(message, *answers_start, answer_count, type, answer)) return std::nullopt;
    return answer;
}

}  // namespace

std::optional<DnsAnswer> parse_dns_response(
    std::span<const std::uint8_t> packet, const Ipv4Octets& dns_server, const Ipv4Octets& client,
    std::uint16_t source_port, std::uint16_t query_id, std::string_view name, DnsType type) {
    const auto ip = read_ipv4(packet);
    if (!ip || ip->protocol != ip_protocol_udp || ip->source != dns_server || ip->destination != client) {
        return std::nullopt;
    }
    const auto message = dns_message_in(ip->payload, dns_server, client, source_port, true);
    if (!message) return std::nullopt;
    return answer_of(*message, query_id, name, type);
}

std::optional<DnsAnswer> parse_dns_response(
    std::span<const std::uint8_t> packet, const Ipv6Octets& dns_server, const Ipv6Octets& client,
    std::uint16_t source_port, std::uint16_t query_id, std::string_view name, DnsType type) {
    const auto ip = read_ipv6(packet);
    if (!ip || ip->next_header != ip_protocol_udp || ip->source != dns_server || ip->destination != client) {
        return std::nullopt;
    }
    const auto message = dns_message_in(ip->payload, dns_server, client, source_port, false);
    if (!message) return std::nullopt;
    return answer_of(*message, query_id, name, type);
}

std::optional<DnsAnswer> parse_dns_a_response(
    std::span<const std::uint8_t> packet, const Ipv4Octets& dns_server, const Ipv4Octets& client,
    std::uint16_t source_port, std::uint16_t query_id, std::string_view name) {
    return parse_dns_response(packet, dns_server, client, source_port, query_id, name, DnsType::a);
}

std::string dns_response_code_name(std::uint8_t code) {
    static constexpr std::string_view names[] = {"NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP",  "REFUSED",
                                                 "YXDOMAIN", "YXRRSET", "NXRRSET",  "NOTAUTH",  "NOTZONE"};
    if (code < std::size(names)) return std::string(names[code]);
    return "RCODE " + std::to_string(code);
}

}  // namespace quorlin
