#include "packet/dns.hpp"

#include "common/bytes.hpp"
#include "packet/udp.hpp"

#include <algorithm>

namespace quorlin {
namespace {

constexpr std::uint16_t dns_flags_recursion_desired = 0x0100;
constexpr std::uint16_t dns_type_a = 1;
constexpr std::uint16_t dns_class_in = 1;
constexpr std::size_t dns_question_tail_bytes = 4;   // QTYPE, QCLASS
constexpr std::size_t dns_record_fixed_bytes = 10;   // TYPE, CLASS, TTL, RDLENGTH
constexpr std::size_t udp_dns_min_bytes = udp_header_bytes + dns_header_bytes;

bool is_ascii(std::string_view text) noexcept {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::expected<std::vector<std::uint8_t>, std::string> dns_query(
    const Ipv4Octets& source, const Ipv4Octets& destination, std::uint16_t source_port,
    std::uint16_t query_id, std::uint16_t ip_identification, std::string_view name) {
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
    append_be16(segment, dns_type_a);
    append_be16(segment, dns_class_in);

    const std::span<std::uint8_t> bytes(segment);
    write_be16(bytes, 0, source_port);
    write_be16(bytes, 2, dns_port);
    write_be16(bytes, 4, static_cast<std::uint16_t>(segment.size() & 0xFFFF));
    const std::uint16_t checksum = udp_checksum(source, destination, segment);
    // A zero field means "no checksum" in UDP, so a computed zero goes out as 0xFFFF.
    write_be16(bytes, 6, checksum == 0 ? 0xFFFF : checksum);
    return ipv4_packet(source, destination, ip_protocol_udp, ip_identification, segment);
}

namespace {

// The DNS message of a UDP datagram from the server's port 53 to our source
// port, inside an IPv4 packet from the server to the client; its checksum,
// when it has one, holds.
std::optional<std::span<const std::uint8_t>> dns_message_of(std::span<const std::uint8_t> packet,
                                                            const Ipv4Octets& dns_server, const Ipv4Octets& client,
                                                            std::uint16_t source_port) {
    const auto ip = read_ipv4(packet);
    if (!ip) return std::nullopt;
    if (ip->protocol != ip_protocol_udp) return std::nullopt;
    if (ip->source != dns_server) return std::nullopt;
    if (ip->payload.size() < udp_dns_min_bytes) return std::nullopt;
    if (ip->destination != client) return std::nullopt;

    const std::span<const std::uint8_t> udp = ip->payload;
    if (read_be16(udp, 0) != dns_port) return std::nullopt;
    const std::size_t udp_length = read_be16(udp, 4);
    if (udp_length > udp.size() || udp_length < udp_dns_min_bytes) return std::nullopt;
    if (read_be16(udp, 2) != source_port) return std::nullopt;
    const std::span<const std::uint8_t> segment = udp.first(udp_length);
    if (read_be16(segment, 6) != 0 && udp_checksum(dns_server, client, segment) != 0) return std::nullopt;
    return segment.subspan(udp_header_bytes);
}

// Where the question section ends, when its first question is `name`, type
// A, class IN, and the others are well formed.
std::optional<std::size_t> questions_end(std::span<const std::uint8_t> message, std::size_t question_count,
                                         std::string_view name) {
    const NameMatch question = name_matches(message, name);
    if (question.kind != NameMatchKind::Match) return std::nullopt;
    std::size_t position = question.end;
    if (message.size() - position < dns_question_tail_bytes) return std::nullopt;
    if (read_be16(message, position) != dns_type_a || read_be16(message, position + 2) != dns_class_in) {
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

// The A records (class IN, four bytes) among the answers from `position`, in
// answer order; nothing when a record runs past the message.
std::optional<std::vector<Ipv4Octets>> a_records(std::span<const std::uint8_t> message, std::size_t position,
                                                 std::size_t answer_count) {
    std::vector<Ipv4Octets> addresses;
    for (std::size_t i = 0; i < answer_count; ++i) {
        const auto end = skip_name(message, position);
        if (!end || message.size() - *end < dns_record_fixed_bytes) return std::nullopt;
        position = *end;
        const std::uint16_t type = read_be16(message, position);
        const std::uint16_t record_class = read_be16(message, position + 2);
        const std::size_t data_length = read_be16(message, position + 8);
        position += dns_record_fixed_bytes;
        if (message.size() - position < data_length) return std::nullopt;
        if (type == dns_type_a && record_class == dns_class_in && data_length == 4) {
            Ipv4Octets address;
            std::copy_n(message.begin() + static_cast<std::ptrdiff_t>(position), 4, address.begin());
            addresses.push_back(address);
        }
        position += data_length;
    }
    return addresses;
}

}  // namespace

std::optional<DnsAnswer> parse_dns_a_response(
    std::span<const std::uint8_t> packet, const Ipv4Octets& dns_server, const Ipv4Octets& client,
    std::uint16_t source_port, std::uint16_t query_id, std::string_view name) {
    const auto message = dns_message_of(packet, dns_server, client, source_port);
    if (!message) return std::nullopt;
    // The header: our query's id, a response, at least one question.
    if (read_be16(*message, 0) != query_id) return std::nullopt;
    if (((*message)[2] & 0x80) == 0) return std::nullopt;
    const std::size_t question_count = read_be16(*message, 4);
    const std::size_t answer_count = read_be16(*message, 6);
    if (question_count == 0) return std::nullopt;
    const auto answers_start = questions_end(*message, question_count, name);
    if (!answers_start) return std::nullopt;
    auto records = a_records(*message, *answers_start, answer_count);
    if (!records) return std::nullopt;
    return DnsAnswer{static_cast<std::uint8_t>((*message)[3] & 0x0F), std::move(*records)};
}

std::string dns_response_code_name(std::uint8_t code) {
    static constexpr std::string_view names[] = {"NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP",  "REFUSED",
                                                 "YXDOMAIN", "YXRRSET", "NXRRSET",  "NOTAUTH",  "NOTZONE"};
    if (code < std::size(names)) return std::string(names[code]);
    return "RCODE " + std::to_string(code);
}

}  // namespace quorlin
