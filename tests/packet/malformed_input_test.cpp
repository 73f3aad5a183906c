// Random and mutated packets against the matchers: they must never crash or
// read outside the packet. Each input lives in an allocation of exactly its
// own size so that the sanitizer build catches any overread.

#include "packet/dns.hpp"
#include "packet/icmp.hpp"
#include "common/bytes.hpp"
#include "packet/udp.hpp"

#include "packet/packet_test_util.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <random>

namespace quorlin {
namespace {

using test::Bytes;

const Ipv4Octets client{10, 0, 0, 2};
const Ipv4Octets server{10, 0, 0, 1};
constexpr std::uint16_t port = 40000;
constexpr std::uint16_t query_id = 0x1234;

class ExactBuffer {
public:
    explicit ExactBuffer(const Bytes& bytes) : size_(bytes.size()), data_(new std::uint8_t[bytes.size()]) {
        std::copy(bytes.begin(), bytes.end(), data_.get());
    }
    std::span<const std::uint8_t> span() const { return {data_.get(), size_}; }

private:
    std::size_t size_;
    std::unique_ptr<std::uint8_t[]> data_;
};

class Mutator {
public:
    explicit Mutator(std::uint32_t seed) : random_(seed) {}

    std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }
    std::uint8_t byte() { return static_cast<std::uint8_t>(below(256)); }

    Bytes random_bytes(std::size_t max_length) {
        Bytes out(below(max_length + 1));
        for (auto& b : out) b = byte();
        return out;
    }

    // A few edits of the kinds that matter to a parser: bytes changed (often to
    // pointer and length markers), cut short, grown, spliced.
    Bytes mutate(Bytes data) {
        static constexpr std::uint8_t markers[] = {0x00, 0x01, 0x04, 0x0C, 0x3F, 0x40, 0x80, 0xC0, 0xFF};
        const std::size_t edits = 1 + below(4);
        for (std::size_t i = 0; i < edits; ++i) {
            switch (below(5)) {
            case 0:
                if (!data.empty()) data[below(data.size())] = byte();
                break;
            case 1:
                if (!data.empty()) data[below(data.size())] = markers[below(std::size(markers))];
                break;
            case 2:
                if (!data.empty()) data.resize(below(data.size()));
                break;
            case 3:
                for (std::size_t n = below(8); n > 0; --n) data.push_back(byte());
                break;
            default:
                if (!data.empty()) data.insert(data.begin() + static_cast<std::ptrdiff_t>(below(data.size())), byte());
                break;
            }
        }
        return data;
    }

private:
    std::mt19937 random_;
};

// Makes a mutated packet's checksums right again where the layout still
// allows it, so the input gets past the checksum checks to the fields behind.
void repair(Bytes& packet, bool udp) {
    if (packet.size() < 20) return;
    const std::size_t header = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    if (header < 20 || header > packet.size()) return;
    write_be16(packet, 10, 0);
    write_be16(packet, 10, internet_checksum(std::span(packet).first(header)));
    const std::size_t total = std::min<std::size_t>(packet.size(), (packet[2] << 8) | packet[3]);
    if (total < header) return;
    const std::span<std::uint8_t> rest = std::span(packet).subspan(header, total - header);
    if (udp) {
        if (rest.size() >= 8) rest[6] = rest[7] = 0;  // zero: not verified
    } else if (rest.size() >= 4) {
        rest[2] = rest[3] = 0;
        const std::uint16_t checksum = internet_checksum(rest);
        rest[2] = static_cast<std::uint8_t>(checksum >> 8);
        rest[3] = static_cast<std::uint8_t>(checksum);
    }
}

Bytes dns_response_seed() {
    Bytes message{0x12, 0x34, 0x81, 0x80, 0, 1, 0, 3, 0, 0, 0, 0};
    test::append(message, test::wire_name({"ab", "cd"}));
    test::append(message, {0, 1, 0, 1});
    test::append(message, {0xC0, 0x0C, 0, 5, 0, 1, 0, 0, 0, 60, 0, 4, 1, 'x', 0xC0, 0x0F});
    test::append(message, {0xC0, 0x25, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 1});
    test::append(message, {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 2});
    return message;
}

Bytes wrap_udp(const Bytes& message) {
    Bytes segment;
    append_be16(segment, 53);
    append_be16(segment, port);
    append_be16(segment, static_cast<std::uint16_t>(8 + message.size()));
    append_be16(segment, 0);
    test::append(segment, message);
    write_be16(segment, 6, udp_checksum(server, client, segment));
    return ipv4_packet(server, client, ip_protocol_udp, 7, segment);
}

Bytes icmp_reply_seed() {
    Bytes icmp{0, 0, 0, 0, 0x01, 0x02, 0x00, 0x03, 'q', 'u', 'o', 'r', 'l', 'i', 'n', '1'};
    write_be16(icmp, 2, internet_checksum(icmp));
    return ipv4_packet(server, client, ip_protocol_icmp, 9, icmp);
}

std::optional<std::vector<Ipv4Octets>> parse(const Bytes& packet) {
    const ExactBuffer buffer(packet);
    return parse_dns_a_response(buffer.span(), server, client, port, query_id, "ab.cd")
        .transform([](DnsAnswer answer) { return std::move(answer.a_records); });
}

TEST(MalformedInput, DnsResponsesNeverCrash) {
    const Bytes seed_message = dns_response_seed();
    ASSERT_EQ(parse(wrap_udp(seed_message)), (std::vector<Ipv4Octets>{{192, 0, 2, 1}, {192, 0, 2, 2}}));

    Mutator mutator(20240601);
    std::size_t matched = 0;
    for (int i = 0; i < 20000; ++i) {
        Bytes packet;
        switch (i % 3) {
        case 0:  // mutated message inside a well-formed IPv4/UDP packet
            packet = wrap_udp(mutator.mutate(seed_message));
            break;
        case 1:  // mutated whole packet, checksums repaired where possible
            packet = mutator.mutate(wrap_udp(seed_message));
            repair(packet, true);
            break;
        default:
            packet = mutator.random_bytes(600);
            break;
        }
        if (parse(packet)) ++matched;
        const ExactBuffer message(packet.size() > 28 ? Bytes(packet.begin() + 28, packet.end()) : packet);
        (void)name_matches(message.span(), "ab.cd");
        (void)skip_name(message.span(), mutator.below(message.span().size() + 2));
    }
    // The mutations must leave enough intact to reach the answer loop.
    EXPECT_GT(matched, 100u);
}

TEST(MalformedInput, IcmpRepliesNeverCrash) {
    const Bytes seed = icmp_reply_seed();
    const auto matches = [](const Bytes& packet) {
        const ExactBuffer buffer(packet);
        return is_icmp_echo_reply(buffer.span(), server, client, 0x0102, 3);
    };
    ASSERT_TRUE(matches(seed));

    Mutator mutator(77);
    std::size_t matched = 0;
    for (int i = 0; i < 20000; ++i) {
        Bytes packet;
        if (i % 2 == 0) {
            packet = mutator.mutate(seed);
            repair(packet, false);
        } else {
            packet = mutator.random_bytes(80);
        }
        if (matches(packet)) ++matched;
    }
    EXPECT_GT(matched, 100u);
}

}  // namespace
}  // namespace quorlin
