// The public tunnel, initiator against our own responder, in process.

#include "wireguard/tunnel.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "wireguard/cookie.hpp"
#include "wireguard/messages.hpp"
#include "wireguard/test_support.hpp"

namespace quorlin::wireguard {
namespace {

using Kind = TunnResult::Kind;
using testing::to_hex;

const IpAddress alice_address = IpAddress::v4(std::array<std::uint8_t, 4>{127, 0, 0, 1});
const IpAddress bob_address = IpAddress::v4(std::array<std::uint8_t, 4>{127, 0, 0, 2});
constexpr std::uint32_t alice_index = 0x01020304;
constexpr std::uint32_t bob_index = 0xfffffffe;

std::vector<std::uint8_t> copy_of(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

// A buffer per call, as the session code uses them.
struct Buffer {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(65535);
    operator std::span<std::uint8_t>() { return bytes; }
};

class FixedLoad : public RateLimiter {
public:
    explicit FixedLoad(bool loaded) : loaded_(loaded) {}
    bool is_under_load(const std::optional<IpAddress>&, Instant) noexcept override { return loaded_; }
    bool loaded_;
};

Tunn make_alice(std::optional<KeyView> psk = std::nullopt) {
    return Tunn(testing::alice_private, testing::bob_public, psk, std::nullopt, alice_index);
}
Tunn make_bob(std::shared_ptr<RateLimiter> limiter = nullptr, std::optional<KeyView> psk = std::nullopt) {
    return Tunn(testing::bob_private, testing::alice_public, psk, std::nullopt, bob_index, std::move(limiter));
}

std::vector<std::uint8_t> expect_write(const TunnResult& result, std::size_t size, const char* what) {
    EXPECT_EQ(result.kind, Kind::WriteToNetwork) << what << ": " << (result.kind == Kind::Err ? error_name(result.error) : "");
    EXPECT_EQ(result.packet.size(), size) << what;
    return copy_of(result.packet);
}

void expect_error(const TunnResult& result, WireGuardError error, const std::string& what) {
    EXPECT_EQ(result.kind, Kind::Err) << what;
    EXPECT_EQ(error_name(result.error), error_name(error)) << what;
}

// Recomputes mac1 after a test has edited a handshake message.
void reseal_mac1(std::vector<std::uint8_t>& message, MacLayout layout, KeyView receiver_public) {
    HeldCookie none;
    seal_macs(message, layout, MacKeys::for_receiver(receiver_public), none, Clock::now());
}

struct Established {
    Tunn alice = make_alice();
    Tunn bob = make_bob();
};

// Runs a handshake to the end, keepalive included.
void handshake(Tunn& alice, Tunn& bob) {
    Buffer a, b;
    const auto initiation = expect_write(alice.format_handshake_initiation(a, false), 148, "initiation");
    const auto response = expect_write(bob.decapsulate(alice_address, initiation, b), 92, "response");
    const auto keepalive = expect_write(alice.decapsulate(bob_address, response, a), 32, "keepalive");
    ASSERT_EQ(bob.decapsulate(alice_address, keepalive, b).kind, Kind::Done);
}

std::vector<std::uint8_t> ipv4_packet(std::size_t size) {
    std::vector<std::uint8_t> p(size, 0xab);
    p[0] = 0x45;
    p[2] = static_cast<std::uint8_t>(size >> 8);
    p[3] = static_cast<std::uint8_t>(size);
    p[12] = 10, p[13] = 0, p[14] = 0, p[15] = 1;
    return p;
}

TEST(Tunn, HandshakeThenTransportBothWays) {
    Tunn alice = make_alice();
    Tunn bob = make_bob();
    Buffer a, b;

    const auto initiation = expect_write(alice.format_handshake_initiation(a, false), 148, "initiation");
    EXPECT_EQ(to_hex(std::span(initiation).first(8)), "0100000004030201") << "type 1, sender = the given index";
    const auto response = expect_write(bob.decapsulate(alice_address, initiation, b), 92, "response");
    EXPECT_EQ(to_hex(std::span(response).first(12)), "02000000feffffff04030201");

    // The responder must not send before the initiator confirms the session.
    const auto early = bob.encapsulate(ipv4_packet(20), b);
    EXPECT_EQ(early.packet.size(), 148u) << "without a confirmed session the responder initiates instead";

    const auto keepalive = expect_write(alice.decapsulate(bob_address, response, a), 32, "keepalive");
    EXPECT_EQ(to_hex(std::span(keepalive).first(16)), "04000000feffffff0000000000000000");
    EXPECT_EQ(bob.decapsulate(alice_address, keepalive, b).kind, Kind::Done);

    const auto packet = ipv4_packet(28);
    const auto sealed = expect_write(alice.encapsulate(packet, a), 64, "alice's data");
    const auto inner = bob.decapsulate(alice_address, sealed, b);
    ASSERT_EQ(inner.kind, Kind::WriteToTunnelV4);
    EXPECT_EQ(copy_of(inner.packet), packet) << "trimmed to the IP total length";
    EXPECT_EQ(to_hex(inner.source.octets()), "0a000001");

    std::vector<std::uint8_t> v6(60, 0);
    v6[0] = 0x60;
    v6[5] = 20;
    v6[8] = 0xfd, v6[23] = 7;
    const auto reply = expect_write(bob.encapsulate(v6, b), 96, "bob's data");
    EXPECT_EQ(to_hex(std::span(reply).first(8)), "0400000004030201");
    const auto inner6 = alice.decapsulate(bob_address, reply, a);
    ASSERT_EQ(inner6.kind, Kind::WriteToTunnelV6);
    EXPECT_EQ(copy_of(inner6.packet), v6);
    EXPECT_EQ(to_hex(inner6.source.octets()), "fd000000000000000000000000000007");

    // An empty packet is a keepalive both ways.
    const auto bob_keepalive = expect_write(bob.encapsulate({}, b), 32, "bob's keepalive");
    EXPECT_EQ(alice.decapsulate(bob_address, bob_keepalive, a).kind, Kind::Done);

    // Replays are refused.
    expect_error(bob.decapsulate(alice_address, sealed, b), WireGuardError::DuplicateCounter, "replayed data");
    expect_error(bob.decapsulate(alice_address, keepalive, b), WireGuardError::DuplicateCounter, "replayed keepalive");
}

TEST(Tunn, PresharedKeyMustMatch) {
    std::array<std::uint8_t, 32> psk{}, other{};
    psk.fill(0x11);
    other.fill(0x22);
    {
        Tunn alice = make_alice(KeyView(psk));
        Tunn bob = make_bob(nullptr, KeyView(psk));
        handshake(alice, bob);
    }
    Tunn alice = make_alice(KeyView(psk));
    Tunn bob = make_bob(nullptr, KeyView(other));
    Buffer a, b;
    const auto initiation = expect_write(alice.format_handshake_initiation(a, false), 148, "initiation");
    // The initiation does not involve the preshared key; the response does.
    const auto response = expect_write(bob.decapsulate(alice_address, initiation, b), 92, "response");
    expect_error(alice.decapsulate(bob_address, response, a), WireGuardError::InvalidAeadTag, "response");
}

TEST(Tunn, CookieReplyIsAnsweredByAForcedInitiationWithMac2) {
    auto load = std::make_shared<FixedLoad>(true);
    Tunn alice = make_alice();
    Tunn bob = make_bob(load);
    Buffer a, b;

    const auto first = expect_write(alice.format_handshake_initiation(a, false), 148, "initiation");
    EXPECT_EQ(to_hex(std::span(first).subspan(initiation::mac2_offset)), std::string(32, '0'));
    const auto cookie_reply = expect_write(bob.decapsulate(alice_address, first, b), 64, "cookie reply");
    EXPECT_EQ(to_hex(std::span(cookie_reply).first(8)), "0300000004030201") << "addressed to the initiation";
    EXPECT_EQ(alice.decapsulate(bob_address, cookie_reply, a).kind, Kind::Done);

    EXPECT_EQ(alice.format_handshake_initiation(a, false).kind, Kind::Done) << "within the rekey timeout";
    const auto second = expect_write(alice.format_handshake_initiation(a, true), 148, "forced initiation");
    EXPECT_NE(to_hex(std::span(second).subspan(initiation::mac2_offset)), std::string(32, '0'));
    EXPECT_EQ(to_hex(std::span(second).subspan(4, 4)), "05030201") << "a new handshake takes the next index";

    const auto response = expect_write(bob.decapsulate(alice_address, second, b), 92, "response");
    const auto keepalive = expect_write(alice.decapsulate(bob_address, response, a), 32, "keepalive");
    EXPECT_EQ(bob.decapsulate(alice_address, keepalive, b).kind, Kind::Done);

    // The cookie is bound to the address: from elsewhere it does not count.
    const auto third = expect_write(alice.format_handshake_initiation(a, true), 148, "initiation");
    expect_write(bob.decapsulate(bob_address, third, b), 64, "cookie reply to another address");
    expect_error(bob.decapsulate(std::nullopt, third, b), WireGuardError::UnderLoad, "unknown source under load");
}

TEST(Tunn, RefusesDatagramsOfWrongTypeOrSize) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> datagram;
    };
    auto message = [](std::vector<std::uint8_t> type, std::size_t size) {
        type.resize(size, 0);
        return type;
    };
    const Case cases[] = {
        {"empty", {}},
        {"three bytes", {1, 0, 0}},
        {"initiation short", message({1, 0, 0, 0}, 147)},
        {"initiation long", message({1, 0, 0, 0}, 149)},
        {"response short", message({2, 0, 0, 0}, 91)},
        {"response long", message({2, 0, 0, 0}, 93)},
        {"cookie reply short", message({3, 0, 0, 0}, 63)},
        {"cookie reply long", message({3, 0, 0, 0}, 65)},
        {"transport short", message({4, 0, 0, 0}, 31)},
        {"type 0", message({0, 0, 0, 0}, 148)},
        {"type 5", message({5, 0, 0, 0}, 148)},
        {"reserved bytes set", message({2, 0, 0, 1}, 92)},
        {"type in the wrong byte", message({0, 0, 0, 1}, 148)},
    };
    for (const Case& c : cases) {
        Established t;
        Buffer out;
        expect_error(t.bob.decapsulate(alice_address, c.datagram, out), WireGuardError::InvalidPacket, c.name);
    }
}

TEST(Tunn, RefusesUnauthenticatedHandshakeMessages) {
    struct Case {
        const char* name;
        bool edit_response;  // else the initiation
        std::size_t offset;
        bool reseal_mac1;
        WireGuardError expected;
    };
    const Case cases[] = {
        {"initiation mac1", false, initiation::mac1_offset, false, WireGuardError::InvalidMac},
        {"initiation body under mac1", false, initiation::static_offset, false, WireGuardError::InvalidMac},
        {"initiation static", false, initiation::static_offset, true, WireGuardError::InvalidAeadTag},
        {"initiation timestamp", false, initiation::timestamp_offset + 3, true, WireGuardError::InvalidAeadTag},
        {"response mac1", true, response::mac1_offset + 15, false, WireGuardError::InvalidMac},
        {"response to an unknown index", true, response::receiver_offset, true, WireGuardError::WrongIndex},
        {"response empty tag", true, response::empty_offset, true, WireGuardError::InvalidAeadTag},
        {"response ephemeral", true, response::ephemeral_offset + 1, true, WireGuardError::InvalidAeadTag},
    };
    for (const Case& c : cases) {
        Tunn alice = make_alice();
        Tunn bob = make_bob();
        Buffer a, b;
        auto initiation_bytes = expect_write(alice.format_handshake_initiation(a, false), 148, c.name);
        if (!c.edit_response) {
            initiation_bytes[c.offset] ^= 0x01;
            if (c.reseal_mac1) reseal_mac1(initiation_bytes, initiation_macs, testing::bob_public);
            expect_error(bob.decapsulate(alice_address, initiation_bytes, b), c.expected, c.name);
            continue;
        }
        auto response_bytes = expect_write(bob.decapsulate(alice_address, initiation_bytes, b), 92, c.name);
        auto edited = response_bytes;
        edited[c.offset] ^= 0x01;
        if (c.reseal_mac1) reseal_mac1(edited, response_macs, testing::alice_public);
        expect_error(alice.decapsulate(bob_address, edited, a), c.expected, c.name);
        // A refused response leaves the initiation waiting for the genuine one.
        expect_write(alice.decapsulate(bob_address, response_bytes, a), 32, c.name);
    }
}

TEST(Tunn, ResponderChecksTheInitiatorsKeyAndTimestamp) {
    Tunn alice = make_alice();
    Tunn bob = make_bob();
    Buffer a, b;
    const auto initiation = expect_write(alice.format_handshake_initiation(a, false), 148, "initiation");
    expect_write(bob.decapsulate(alice_address, initiation, b), 92, "response");
    expect_error(bob.decapsulate(alice_address, initiation, b), WireGuardError::WrongTai64nTimestamp,
                 "replayed initiation");
    const auto later = expect_write(alice.format_handshake_initiation(a, true), 148, "later initiation");
    expect_write(bob.decapsulate(alice_address, later, b), 92, "response to a later initiation");

    // Someone who knows bob's public key but is not alice.
    std::array<std::uint8_t, 32> mallory_private{};
    mallory_private.fill(0x77);
    Tunn mallory(mallory_private, testing::bob_public, std::nullopt, std::nullopt, 9);
    const auto forged = expect_write(mallory.format_handshake_initiation(a, false), 148, "mallory's initiation");
    expect_error(bob.decapsulate(alice_address, forged, b), WireGuardError::WrongKey, "unknown initiator");
}

TEST(Tunn, ResponseToASupersededInitiationHasTheWrongIndex) {
    Tunn alice = make_alice();
    Tunn bob = make_bob();
    Buffer a, b;
    const auto first = expect_write(alice.format_handshake_initiation(a, false), 148, "first");
    const auto stale_response = expect_write(bob.decapsulate(alice_address, first, b), 92, "response to first");
    expect_write(alice.format_handshake_initiation(a, true), 148, "second");
    expect_error(alice.decapsulate(bob_address, stale_response, a), WireGuardError::WrongIndex, "stale response");
}

TEST(Tunn, HandshakeMessagesWithoutAnOutstandingHandshake) {
    Tunn alice = make_alice();
    Tunn bob = make_bob();
    Buffer a, b;
    const auto initiation = expect_write(alice.format_handshake_initiation(a, false), 148, "initiation");
    const auto response = expect_write(bob.decapsulate(alice_address, initiation, b), 92, "response");
    expect_write(alice.decapsulate(bob_address, response, a), 32, "keepalive");
    expect_error(alice.decapsulate(bob_address, response, a), WireGuardError::UnexpectedPacket, "second response");

    std::vector<std::uint8_t> cookie_reply(64, 0);
    cookie_reply[0] = 3;
    Tunn fresh = make_alice();
    expect_error(fresh.decapsulate(bob_address, cookie_reply, a), WireGuardError::UnexpectedPacket,
                 "cookie reply to nothing");
    expect_write(fresh.format_handshake_initiation(a, false), 148, "initiation");
    expect_error(fresh.decapsulate(bob_address, cookie_reply, a), WireGuardError::WrongIndex, "cookie reply elsewhere");
    cookie_reply[4] = 0x04, cookie_reply[5] = 0x03, cookie_reply[6] = 0x02, cookie_reply[7] = 0x01;
    expect_error(fresh.decapsulate(bob_address, cookie_reply, a), WireGuardError::InvalidAeadTag, "forged cookie reply");
}

TEST(Tunn, TransportMessagesAreMatchedToASession) {
    Established t;
    Buffer a, b;
    std::vector<std::uint8_t> stray(32, 0);
    stray[0] = 4;
    expect_error(t.bob.decapsulate(alice_address, stray, b), WireGuardError::NoCurrentSession, "no session yet");
    handshake(t.alice, t.bob);
    expect_error(t.bob.decapsulate(alice_address, stray, b), WireGuardError::WrongIndex, "unknown index");

    auto sealed = expect_write(t.alice.encapsulate(ipv4_packet(40), a), 80, "data");
    auto forged = sealed;
    forged[40] ^= 0x10;
    expect_error(t.bob.decapsulate(alice_address, forged, b), WireGuardError::InvalidAeadTag, "altered data");
    EXPECT_EQ(t.bob.decapsulate(alice_address, sealed, b).kind, Kind::WriteToTunnelV4) << "the genuine one still opens";

    // The payload decrypts but is no IP packet.
    std::vector<std::uint8_t> garbage(24, 0x00);
    const auto sealed_garbage = expect_write(t.alice.encapsulate(garbage, a), 64, "garbage");
    expect_error(t.bob.decapsulate(alice_address, sealed_garbage, b), WireGuardError::InvalidPacket, "not IP");
}

TEST(Tunn, OldSessionStaysReadableAfterARekey) {
    Established t;
    Buffer a, b;
    handshake(t.alice, t.bob);
    const auto in_flight = expect_write(t.alice.encapsulate(ipv4_packet(20), a), 64, "in flight");
    handshake(t.alice, t.bob);
    EXPECT_EQ(t.bob.decapsulate(alice_address, in_flight, b).kind, Kind::WriteToTunnelV4);
    const auto fresh = expect_write(t.alice.encapsulate(ipv4_packet(20), a), 64, "new session");
    EXPECT_EQ(to_hex(std::span(fresh).subspan(4, 4)), "ffffffff") << "bob's second index";
    EXPECT_EQ(t.bob.decapsulate(alice_address, fresh, b).kind, Kind::WriteToTunnelV4);
}

TEST(Tunn, DestinationBuffersTooSmall) {
    Established t;
    std::vector<std::uint8_t> small(147);
    expect_error(t.alice.format_handshake_initiation(small, false), WireGuardError::DestinationBufferTooSmall,
                 "initiation");
    Buffer a, b;
    const auto initiation = expect_write(t.alice.format_handshake_initiation(a, false), 148, "initiation");
    expect_error(t.bob.decapsulate(alice_address, initiation, std::span(small).first(91)),
                 WireGuardError::DestinationBufferTooSmall, "response");
    const auto response = expect_write(t.bob.decapsulate(alice_address, initiation, b), 92, "response");
    expect_error(t.alice.decapsulate(bob_address, response, std::span(small).first(31)),
                 WireGuardError::DestinationBufferTooSmall, "keepalive");
    const auto keepalive = expect_write(t.alice.decapsulate(bob_address, response, a), 32, "keepalive");
    t.bob.decapsulate(alice_address, keepalive, b);

    expect_error(t.alice.encapsulate(ipv4_packet(20), std::span(small).first(63)),
                 WireGuardError::DestinationBufferTooSmall, "data");
    const auto sealed = expect_write(t.alice.encapsulate(ipv4_packet(20), a), 64, "data");
    expect_error(t.bob.decapsulate(alice_address, sealed, std::span(small).first(31)),
                 WireGuardError::DestinationBufferTooSmall, "decrypted data");
    EXPECT_EQ(t.bob.decapsulate(alice_address, sealed, b).kind, Kind::WriteToTunnelV4);
}

TEST(Tunn, LowOrderPeerKeyNeverHandshakes) {
    const std::array<std::uint8_t, 32> zero_point{};
    Tunn tunnel(testing::alice_private, zero_point, std::nullopt, std::uint16_t{25}, 1);
    Buffer out;
    expect_error(tunnel.format_handshake_initiation(out, false), WireGuardError::WrongKey, "low-order peer");
    EXPECT_EQ(tunnel.persistent_keepalive(), std::uint16_t{25});
    EXPECT_EQ(tunnel.static_public_key(), testing::alice_public);
}

TEST(WireGuardErrorNames, InTheirOrder) {
    const char* names[] = {
        "DestinationBufferTooSmall", "IncorrectPacketLength", "UnexpectedPacket", "WrongPacketType",
        "WrongIndex",                "WrongKey",              "InvalidTai64nTimestamp", "WrongTai64nTimestamp",
        "InvalidMac",                "InvalidAeadTag",        "InvalidCounter",   "DuplicateCounter",
        "InvalidPacket",             "NoCurrentSession",      "LockFailed",       "ConnectionExpired",
        "UnderLoad",
    };
    ASSERT_EQ(std::size(names), wireguard_error_count);
    for (std::size_t i = 0; i < wireguard_error_count; ++i) {
        EXPECT_EQ(error_name(static_cast<WireGuardError>(i)), names[i]);
    }
}

}  // namespace
}  // namespace quorlin::wireguard
