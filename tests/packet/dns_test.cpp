#include "packet/dns.hpp"
#include "packet/udp.hpp"

#include "packet/packet_test_util.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorlin {
namespace {

using test::Bytes;

const Ipv4Octets client{10, 0, 0, 2};
const Ipv4Octets server{10, 0, 0, 1};
constexpr std::uint16_t client_port = 40000;
constexpr std::uint16_t query_id = 0x1234;

// ---- queries ----

TEST(DnsQuery, KnownPacketsByteForByte) {
    const std::pair<std::uint16_t, Bytes> cases[] = {
        {query_id,
         {0x45, 0x00, 0x00, 0x2F, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11, 0x26, 0xBC, 0x0A, 0x00, 0x00, 0x02,
          0x0A, 0x00, 0x00, 0x01, 0x9C, 0x40, 0x00, 0x35, 0x00, 0x1B, 0x38, 0x9A, 0x12, 0x34, 0x01, 0x00,
          0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x71, 0x00, 0x00, 0x01, 0x00, 0x01}},
        // With this identifier the checksum comes out as 0, which is sent as FF FF.
        {0x4ACE,
         {0x45, 0x00, 0x00, 0x2F, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11, 0x26, 0xBC, 0x0A, 0x00, 0x00, 0x02,
          0x0A, 0x00, 0x00, 0x01, 0x9C, 0x40, 0x00, 0x35, 0x00, 0x1B, 0xFF, 0xFF, 0x4A, 0xCE, 0x01, 0x00,
          0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x71, 0x00, 0x00, 0x01, 0x00, 0x01}},
    };
    for (const auto& [id, expected] : cases) EXPECT_EQ(dns_query(client, server, client_port, id, 0, "q"), expected);
}

std::string labels_of(std::initializer_list<std::size_t> lengths) {
    std::string name;
    char fill = 'a';
    for (const std::size_t length : lengths) {
        if (!name.empty()) name += '.';
        name += std::string(length, fill++);
    }
    return name;
}

TEST(DnsQuery, NameRules) {
    struct Case {
        std::string name;
        std::string error;  // empty: accepted
    };
    const std::string length_error = "DNS name must contain 1 to 253 characters";
    const std::string label_error = "DNS labels must contain 1 to 63 ASCII characters";
    const Case cases[] = {
        {"q", ""},
        {"under_score.with space.-~!", ""},
        {labels_of({63, 63, 63, 61}), ""},         // 253 bytes
        {labels_of({63, 63, 63, 61}) + "..", ""},  // 253 once the dots are gone
        {std::string(1, '\x7F'), ""},
        {"", length_error},
        {".", length_error},
        {labels_of({63, 63, 63, 62}), length_error},  // 254 bytes
        {labels_of({300}), length_error},             // length is checked before labels
        {"a..b", label_error},
        {".a", label_error},
        {labels_of({64}), label_error},
        {"ok." + labels_of({64}), label_error},
        {"caf\xC3\xA9.test", label_error},
        {std::string("\x80"), label_error},
    };
    for (const auto& c : cases) {
        const auto result = dns_query(client, server, 1, 1, 1, c.name);
        EXPECT_EQ(result ? "" : result.error(), c.error) << c.name;
    }
}

TEST(DnsQuery, KeepsCaseAndDropsTrailingDots) {
    const auto packet = dns_query(client, server, client_port, query_id, 7, "Ab.CD.");
    ASSERT_TRUE(packet.has_value());
    const Bytes question(packet->begin() + 40, packet->end());
    EXPECT_EQ(question, (Bytes{2, 'A', 'b', 2, 'C', 'D', 0, 0, 1, 0, 1}));
    EXPECT_EQ(udp_checksum(client, server, std::span(*packet).subspan(20)), 0);
}

// ---- responses ----

Bytes header(std::uint16_t id, std::uint16_t flags, std::uint16_t questions, std::uint16_t answers) {
    Bytes out;
    for (const std::uint16_t field : {id, flags, questions, answers, std::uint16_t{0}, std::uint16_t{0}}) {
        append_be16(out, field);
    }
    return out;
}

Bytes question(const Bytes& name, std::uint16_t type = 1, std::uint16_t klass = 1) {
    Bytes out = name;
    append_be16(out, type);
    append_be16(out, klass);
    return out;
}

Bytes record(const Bytes& owner, std::uint16_t type, std::uint16_t klass, const Bytes& data) {
    Bytes out = owner;
    append_be16(out, type);
    append_be16(out, klass);
    test::append(out, {0x00, 0x00, 0x0E, 0x10});
    append_be16(out, static_cast<std::uint16_t>(data.size()));
    test::append(out, data);
    return out;
}

const Bytes to_question{0xC0, 0x0C};

Bytes message_of(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) test::append(out, part);
    return out;
}

// The usual answer for "ab.cd": one A record 192.0.2.10 owned by the question's name.
Bytes plain_message() {
    return message_of({header(query_id, 0x8180, 1, 1), question(test::wire_name({"ab", "cd"})),
                       record(to_question, 1, 1, {192, 0, 2, 10})});
}

enum class UdpChecksum { Computed, Zero, Wrong };

struct ResponseShape {
    test::Ipv4Shape ip{.source = server, .destination = client, .protocol = ip_protocol_udp};
    std::uint16_t source_port = 53;
    std::uint16_t destination_port = client_port;
    UdpChecksum checksum = UdpChecksum::Computed;
    int udp_length_delta = 0;
    Bytes message = plain_message();
    Bytes after_udp;  // inside the IP payload, beyond the UDP length
    Bytes after_ip;   // beyond the IP total length
};

Bytes response_with(const ResponseShape& shape) {
    Bytes segment;
    append_be16(segment, shape.source_port);
    append_be16(segment, shape.destination_port);
    append_be16(segment, static_cast<std::uint16_t>(8 + static_cast<int>(shape.message.size()) + shape.udp_length_delta));
    append_be16(segment, 0);
    test::append(segment, shape.message);
    if (shape.checksum != UdpChecksum::Zero) {
        std::uint16_t checksum = udp_checksum(shape.ip.source, shape.ip.destination, segment);
        if (checksum == 0) checksum = 0xFFFF;
        if (shape.checksum == UdpChecksum::Wrong) checksum ^= 0x0400;
        write_be16(segment, 6, checksum);
    }
    test::append(segment, shape.after_udp);
    Bytes packet = test::ipv4_with(shape.ip, segment);
    test::append(packet, shape.after_ip);
    return packet;
}

std::optional<DnsAnswer> answer_to(const ResponseShape& shape, std::string_view name = "ab.cd") {
    return parse_dns_a_response(response_with(shape), server, client, client_port, query_id, name);
}

std::optional<std::vector<Ipv4Octets>> parse(const ResponseShape& shape, std::string_view name = "ab.cd") {
    return answer_to(shape, name).transform([](DnsAnswer answer) { return std::move(answer.a_records); });
}

TEST(ParseDnsAResponse, MatchesOnlyTheAnswerToThisQuery) {
    struct Case {
        const char* what;
        ResponseShape shape;
        bool matches = false;
    };
    const auto with = [](auto change) {
        ResponseShape shape;
        change(shape);
        return shape;
    };
    const Case cases[] = {
        {"the answer itself", {}, true},
        {"udp checksum 0: not verified", with([](ResponseShape& s) { s.checksum = UdpChecksum::Zero; }), true},
        {"bytes beyond the udp length", with([](ResponseShape& s) { s.after_udp = {0xAB, 0xCD, 0xEF}; }), true},
        {"bytes beyond the ip total length", with([](ResponseShape& s) { s.after_ip = {0x77}; }), true},
        {"fragment", with([](ResponseShape& s) { s.ip.flags_fragment = 0x2000; })},
        {"bad header checksum", with([](ResponseShape& s) { s.ip.corrupt_checksum = true; })},
        {"icmp", with([](ResponseShape& s) { s.ip.protocol = 1; })},
        {"other server", with([](ResponseShape& s) { s.ip.source = {10, 0, 0, 53}; })},
        {"other client", with([](ResponseShape& s) { s.ip.destination = {10, 0, 0, 3}; })},
        {"from port 5353", with([](ResponseShape& s) { s.source_port = 5353; })},
        {"to another port", with([](ResponseShape& s) { s.destination_port = client_port + 1; })},
        {"udp length beyond payload", with([](ResponseShape& s) { s.udp_length_delta = 1; })},
        {"udp length below 20", with([](ResponseShape& s) { s.udp_length_delta = -static_cast<int>(s.message.size()) + 11; })},
        {"wrong udp checksum", with([](ResponseShape& s) { s.checksum = UdpChecksum::Wrong; })},
        {"other id", with([](ResponseShape& s) { write_be16(s.message, 0, query_id + 1); })},
        {"QR clear", with([](ResponseShape& s) { s.message[2] = 0x01; })},
        {"no question", with([](ResponseShape& s) { write_be16(s.message, 4, 0); })},
        {"other name", with([](ResponseShape& s) { s.message[14] = 'x'; })},
        {"AAAA question", with([](ResponseShape& s) { s.message[20] = 28; })},
        {"CH class", with([](ResponseShape& s) { s.message[22] = 3; })},
        {"question cut before its type",
         with([](ResponseShape& s) { s.message = message_of({header(query_id, 0x8180, 1, 0), test::wire_name({"ab", "cd"}), {0, 1}}); })},
        {"answer pointing at itself", with([](ResponseShape& s) { s.message[24] = 23; })},
        {"answer pointing forward", with([](ResponseShape& s) { s.message[24] = 30; })},
        {"second answer cut short after an A record", with([](ResponseShape& s) { write_be16(s.message, 6, 2); })},
        {"record data beyond message", with([](ResponseShape& s) { s.message.pop_back(); })},
        {"second question runs off the end",
         with([](ResponseShape& s) {
             s.message = message_of({header(query_id, 0x8180, 2, 0), question(test::wire_name({"ab", "cd"})), {1, 'x', 0, 0, 1}});
         })},
    };
    const std::optional<std::vector<Ipv4Octets>> answer = std::vector<Ipv4Octets>{{192, 0, 2, 10}};
    for (const auto& c : cases) {
        EXPECT_EQ(parse(c.shape), c.matches ? answer : std::nullopt) << c.what;
    }
}

TEST(ParseDnsAResponse, CollectsTheResponseCodeAndARecordsInAnswerOrder) {
    struct Case {
        const char* what;
        Bytes message;
        std::string name;
        std::vector<Ipv4Octets> addresses;
        std::uint8_t response_code = 0;
        std::string code_name = "NOERROR";
    };
    const Bytes name_abcd = test::wire_name({"ab", "cd"});
    const Case cases[] = {
        {"case folded on both sides",
         message_of({header(query_id, 0x8180, 1, 1), question(test::wire_name({"aB", "cD"})),
                     record(to_question, 1, 1, {192, 0, 2, 10})}),
         "Ab.CD.",
         {{192, 0, 2, 10}}},
        {"name error without answers", message_of({header(query_id, 0x8183, 1, 0), question(name_abcd)}), "ab.cd", {},
         3, "NXDOMAIN"},
        {"server failure", message_of({header(query_id, 0x8182, 1, 0), question(name_abcd)}), "ab.cd", {}, 2,
         "SERVFAIL"},
        {"refused", message_of({header(query_id, 0x8185, 1, 0), question(name_abcd)}), "ab.cd", {}, 5, "REFUSED"},
        {"a code without a name, its records still read",
         message_of({header(query_id, 0x818C, 1, 1), question(name_abcd), record(to_question, 1, 1, {10, 5, 5, 5})}),
         "ab.cd",
         {{10, 5, 5, 5}},
         12,
         "RCODE 12"},
        {"CNAME then two A records",
         message_of({header(query_id, 0x8180, 1, 3), question(name_abcd),
                     record(to_question, 5, 1, {5, 'a', 'l', 'i', 'a', 's', 0xC0, 0x0F}),
                     record(test::wire_name({"alias", "cd"}), 1, 1, {192, 0, 2, 1}),
                     record({0xC0, 0x2B}, 1, 1, {192, 0, 2, 2})}),
         "ab.cd",
         {{192, 0, 2, 1}, {192, 0, 2, 2}}},
        {"sixteen-byte and non-IN records stepped over",
         message_of({header(query_id, 0x8180, 1, 3), question(name_abcd), record(to_question, 1, 1, Bytes(16, 0x20)),
                     record(to_question, 1, 3, {10, 1, 1, 1}), record(to_question, 1, 1, {10, 2, 2, 2})}),
         "ab.cd",
         {{10, 2, 2, 2}}},
        {"duplicates kept",
         message_of({header(query_id, 0x8180, 1, 2), question(name_abcd), record(to_question, 1, 1, {10, 3, 3, 3}),
                     record(name_abcd, 1, 1, {10, 3, 3, 3})}),
         "ab.cd",
         {{10, 3, 3, 3}, {10, 3, 3, 3}}},
        {"further questions skipped, authority ignored",
         message_of({header(query_id, 0x8580, 2, 1), question(name_abcd), question({1, 'z', 0xC0, 0x0F}, 28, 3),
                     record(to_question, 1, 1, {10, 4, 4, 4}), Bytes{0xFF, 0xFF, 0xFF}}),
         "ab.cd",
         {{10, 4, 4, 4}}},
    };
    for (const auto& c : cases) {
        ResponseShape shape;
        shape.message = c.message;
        const auto result = answer_to(shape, c.name);
        ASSERT_TRUE(result.has_value()) << c.what;
        EXPECT_EQ(result->a_records, c.addresses) << c.what;
        EXPECT_EQ(result->response_code, c.response_code) << c.what;
        EXPECT_EQ(dns_response_code_name(result->response_code), c.code_name) << c.what;
    }
}

TEST(ParseDnsAResponse, AnswersTheLargestQuery) {
    const std::string name = labels_of({63, 63, 63, 61});
    const auto query = dns_query(client, server, client_port, query_id, 9, name);
    ASSERT_TRUE(query.has_value());
    ASSERT_EQ(query->size(), 299u);
    ResponseShape shape;
    shape.message = Bytes(query->begin() + 28, query->end());
    shape.message[2] = 0x81;
    shape.message[7] = 1;  // ANCOUNT
    test::append(shape.message, record(to_question, 1, 1, {198, 51, 100, 1}));
    EXPECT_EQ(parse(shape, name), (std::vector<Ipv4Octets>{{198, 51, 100, 1}}));
}

// ---- AAAA, and queries over IPv6 ----

const Ipv6Octets client6{0xfd, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
const Ipv6Octets server6{0xfd, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const Bytes fd00_8_5{0xfd, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};

TEST(DnsQuery, AaaaOverIpv6ByteForByte) {
    const auto packet = dns_query(client6, server6, client_port, query_id, "ab.cd", DnsType::aaaa);
    ASSERT_TRUE(packet.has_value());
    test::Ipv6Shape ip{.source = client6, .destination = server6, .next_header = ip_protocol_udp};
    EXPECT_EQ(*packet, test::ipv6_with(ip, {0x9C, 0x40, 0x00, 0x35, 0x00, 0x1F, 0x71, 0x29, 0x12, 0x34, 0x01,
                                           0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x61,
                                           0x62, 0x02, 0x63, 0x64, 0x00, 0x00, 0x1C, 0x00, 0x01}));
}

// A response over IPv6: `message` in a UDP datagram from the server's port 53.
Bytes response6_with(const Bytes& message, UdpChecksum checksum = UdpChecksum::Computed) {
    Bytes segment;
    append_be16(segment, 53);
    append_be16(segment, client_port);
    append_be16(segment, static_cast<std::uint16_t>(8 + message.size()));
    append_be16(segment, 0);
    test::append(segment, message);
    if (checksum != UdpChecksum::Zero) {
        write_be16(segment, 6, udp_checksum(server6, client6, segment) ^ (checksum == UdpChecksum::Wrong ? 0x0400 : 0));
    }
    return test::ipv6_with({.source = server6, .destination = client6, .next_header = ip_protocol_udp}, segment);
}

TEST(ParseDnsResponse, AaaaRecordsOverEitherVersion) {
    const Bytes name_abcd = test::wire_name({"ab", "cd"});
    const Bytes aaaa_answer = message_of({header(query_id, 0x8180, 1, 4), question(name_abcd, 28),
                                          record(to_question, 5, 1, {5, 'a', 'l', 'i', 'a', 's', 0xC0, 0x0F}),
                                          record(to_question, 1, 1, {192, 0, 2, 1}),
                                          record(to_question, 28, 1, fd00_8_5),
                                          record(to_question, 28, 1, {10, 0, 0, 5})});
    const DnsAnswer fd00 = {.aaaa_records = {{0xfd, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}}};
    struct Case {
        const char* what;
        Bytes packet;
        bool over_ipv6;
        std::optional<DnsAnswer> answer;
    };
    ResponseShape over_ipv4;
    over_ipv4.message = aaaa_answer;
    const Case cases[] = {
        // Only the AAAA record of sixteen bytes: the CNAME, the A record and a short AAAA are stepped over.
        {"over IPv6", response6_with(aaaa_answer), true, fd00},
        {"over IPv4", response_with(over_ipv4), false, fd00},
        {"over IPv6 without a UDP checksum", response6_with(aaaa_answer, UdpChecksum::Zero), true, std::nullopt},
        {"over IPv6 with a wrong UDP checksum", response6_with(aaaa_answer, UdpChecksum::Wrong), true, std::nullopt},
        {"the answer to the A question", response6_with(plain_message()), true, std::nullopt},
        {"no such name", response6_with(message_of({header(query_id, 0x8183, 1, 0), question(name_abcd, 28)})), true,
         DnsAnswer{.response_code = 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto answer = c.over_ipv6
                                ? parse_dns_response(c.packet, server6, client6, client_port, query_id, "ab.cd", DnsType::aaaa)
                                : parse_dns_response(c.packet, server, client, client_port, query_id, "ab.cd", DnsType::aaaa);
        EXPECT_EQ(answer, c.answer);
    }
}

// ---- name walking ----

Bytes with_header(const Bytes& body) {
    Bytes out = header(1, 0x8180, 1, 0);
    test::append(out, body);
    return out;
}

TEST(NameMatches, ComparesLabelsAndFindsTheEnd) {
    struct Case {
        const char* what;
        Bytes body;
        std::string name;
        NameMatch expected;
    };
    using K = NameMatchKind;
    const Case cases[] = {
        {"exact", {2, 'a', 'b', 0, 0, 1}, "ab", {K::Match, 16}},
        {"ASCII case folded", {2, 'A', 'b', 1, 'Z', 0}, "aB.z.", {K::Match, 18}},
        {"no folding beyond ASCII", {1, 0xC4, 0}, "\xE4", {K::Mismatch, 0}},
        {"shorter on the wire", {2, 'a', 'b', 0}, "ab.cd", {K::Mismatch, 0}},
        {"longer on the wire", {2, 'a', 'b', 2, 'c', 'd', 0}, "ab", {K::Mismatch, 0}},
        {"label length differs", {3, 'a', 'b', 'c', 0}, "ab", {K::Mismatch, 0}},
        {"dot inside a wire label", {3, 'a', '.', 'b', 0}, "a.b", {K::Mismatch, 0}},
        {"root never matches an empty name", {0}, "", {K::Mismatch, 0}},
        {"empty message body", {}, "ab", {K::Malformed, 0}},
        {"runs off the end", {2, 'a', 'b'}, "ab", {K::Malformed, 0}},
        {"label runs off the end", {5, 'a', 'b'}, "ab", {K::Malformed, 0}},
        {"reserved label type 01", {0x40, 0}, "ab", {K::Malformed, 0}},
        {"reserved label type 10", {0x80, 0}, "ab", {K::Malformed, 0}},
        {"pointer missing its second byte", {0xC0}, "ab", {K::Malformed, 0}},
        {"pointer to itself", {0xC0, 0x0C}, "ab", {K::Malformed, 0}},
        {"pointer forward", {0xC0, 0x0E, 0}, "ab", {K::Malformed, 0}},
        // Header bytes 10..11 read as the name "\0" after a backward pointer.
        {"pointer back into the header", {0xC0, 0x0B}, "x", {K::Mismatch, 0}},
        // A mismatch stops the walk before the malformed tail is reached.
        {"mismatch wins over a later fault", {1, 'x', 0x80}, "y", {K::Mismatch, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(name_matches(with_header(c.body), c.name), c.expected) << c.what;
    }
}

TEST(NameMatches, EndsAfterTheFirstPointer) {
    // NSCOUNT 0x0161 and ARCOUNT 0 spell the name "a" at offset 8 of the header.
    Bytes message = header(1, 0x8180, 1, 0);
    write_be16(message, 8, 0x0161);
    test::append(message, {0xC0, 0x08, 0xEE});
    EXPECT_EQ(name_matches(message, "A."), (NameMatch{NameMatchKind::Match, 14}));
}

TEST(SkipName, EndsAfterTheFirstPointerOrTheRoot) {
    Bytes message = header(1, 0x8180, 1, 0);
    // 12: "cd"   16: "ab" then a pointer (at 19) to "cd"
    test::append(message, {2, 'c', 'd', 0, 2, 'a', 'b', 0xC0, 0x0C});
    EXPECT_EQ(skip_name(message, 12), 16u);
    EXPECT_EQ(skip_name(message, 16), 21u);
    EXPECT_EQ(skip_name(message, 19), 21u);
    EXPECT_EQ(skip_name(message, 21), std::nullopt);
    EXPECT_EQ(skip_name(message, 500), std::nullopt);
}

TEST(SkipName, PointerAndLengthLimits) {
    // "a" at 0, then a chain of pointers each pointing at the one before.
    const auto chain = [](std::size_t pointers) {
        Bytes message{1, 'a', 0};
        std::size_t previous = 0;
        for (std::size_t i = 0; i < pointers; ++i) {
            const std::size_t here = message.size();
            message.push_back(static_cast<std::uint8_t>(0xC0 | (previous >> 8)));
            message.push_back(static_cast<std::uint8_t>(previous & 0xFF));
            previous = here;
        }
        return std::pair{message, previous};
    };
    const auto [ok, ok_start] = chain(128);
    EXPECT_EQ(skip_name(ok, ok_start), ok_start + 2);
    const auto [too_many, too_many_start] = chain(129);
    EXPECT_EQ(skip_name(too_many, too_many_start), std::nullopt);

    // 255 bytes on the wire including the root is the most a name may take.
    const std::string x63(63, 'x');
    EXPECT_EQ(skip_name(test::wire_name({x63, x63, x63, std::string(61, 'x')}), 0), 255u);
    EXPECT_EQ(skip_name(test::wire_name({x63, x63, x63, std::string(62, 'x')}), 0), std::nullopt);
    // The limit counts labels reached through pointers too.
    Bytes split = test::wire_name({x63, x63, x63, std::string(59, 'x')});
    split.pop_back();
    test::append(split, {2, 'x', 'x', 0, 0xC0, 0x00});
    EXPECT_EQ(skip_name(split, split.size() - 2), std::nullopt);
}

}  // namespace
}  // namespace quorlin
