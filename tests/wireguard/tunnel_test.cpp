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
using Packet = std::vector<std::uint8_t>;
using testing::to_hex;

const IpAddress alice_address = IpAddress::v4(std::array<std::uint8_t, 4>{127, 0, 0, 1});
const IpAddress bob_address = IpAddress::v4(std::array<std::uint8_t, 4>{127, 0, 0, 2});
constexpr std::uint32_t alice_index = 0x01020304;
constexpr std::uint32_t bob_index = 0xfffffffe;

Packet copy_of(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

class AlwaysLoaded : public RateLimiter {
public:
    bool is_under_load(const std::optional<IpAddress>&, Instant) noexcept override { return true; }
};

Packet expect_write(const TunnResult& result, std::size_t size, const std::string& what) {
    EXPECT_EQ(result.kind, Kind::WriteToNetwork)
        << what << ": " << (result.kind == Kind::Err ? error_name(result.error) : "");
    EXPECT_EQ(result.packet.size(), size) << what;
    return copy_of(result.packet);
}

void expect_error(const TunnResult& result, WireGuardError error, const std::string& what) {
    EXPECT_EQ(result.kind, Kind::Err) << what;
    EXPECT_EQ(error_name(result.error), error_name(error)) << what;
}

// Recomputes mac1 after a test has edited a handshake message.
void reseal_mac1(Packet& message, MacLayout layout, KeyView receiver_public) {
    HeldCookie none;
    seal_macs(message, layout, MacKeys::for_receiver(receiver_public), none, Clock::now());
}

Packet ipv4_packet(std::size_t size) {
    Packet p(size, 0xab);
    p[0] = 0x45;
    p[2] = static_cast<std::uint8_t>(size >> 8);
    p[3] = static_cast<std::uint8_t>(size);
    p[12] = 10, p[13] = 0, p[14] = 0, p[15] = 1;
    return p;
}

// Alice initiates, bob responds; one 65535-byte buffer each, as the session
// code uses them. Alice derives her own public key; bob is handed his, as a
// probe hands over the one its configuration already derived.
struct Peers {
    explicit Peers(std::shared_ptr<RateLimiter> bob_limiter = nullptr, std::optional<KeyView> alice_psk = std::nullopt,
                   std::optional<KeyView> bob_psk = std::nullopt)
        : alice(testing::alice_private, testing::bob_public, alice_psk, std::nullopt, alice_index),
          bob(StaticKeyPair{testing::bob_private, testing::bob_public}, testing::alice_public, bob_psk, std::nullopt,
              bob_index, std::move(bob_limiter)) {}

    Packet initiate(bool force = false) {
        return expect_write(alice.format_handshake_initiation(a, force), 148, "initiation");
    }
    Packet respond(const Packet& initiation) {
        return expect_write(bob.decapsulate(alice_address, initiation, b), 92, "response");
    }
    Packet confirm(const Packet& response) {
        return expect_write(alice.decapsulate(bob_address, response, a), 32, "keepalive");
    }
    // A whole handshake, the responder having heard the keepalive.
    void handshake() { EXPECT_EQ(bob.decapsulate(alice_address, confirm(respond(initiate())), b).kind, Kind::Done); }

    Tunn alice;
    Tunn bob;
    Packet a = Packet(65535);
    Packet b = Packet(65535);
};

TEST(Tunn, HandshakeThenTransportBothWays) {
    Peers t;
    EXPECT_EQ(t.alice.static_public_key(), testing::alice_public);
    EXPECT_EQ(t.bob.static_public_key(), testing::bob_public);
    const auto initiation = t.initiate();
    EXPECT_EQ(to_hex(std::span(initiation).first(8)), "0100000004030201") << "type 1, sender = the given index";
    const auto response = t.respond(initiation);
    EXPECT_EQ(to_hex(std::span(response).first(12)), "02000000feffffff04030201");

    // The responder must not send before the initiator confirms the session.
    EXPECT_EQ(t.bob.encapsulate(ipv4_packet(20), t.b).packet.size(), 148u)
        << "without a confirmed session the responder initiates instead";

    const auto keepalive = t.confirm(response);
    EXPECT_EQ(to_hex(std::span(keepalive).first(16)), "04000000feffffff0000000000000000");
    EXPECT_EQ(t.bob.decapsulate(alice_address, keepalive, t.b).kind, Kind::Done);

    const auto packet = ipv4_packet(28);
    const auto sealed = expect_write(t.alice.encapsulate(packet, t.a), 64, "alice's data");
    const auto inner = t.bob.decapsulate(alice_address, sealed, t.b);
    ASSERT_EQ(inner.kind, Kind::WriteToTunnelV4);
    EXPECT_EQ(copy_of(inner.packet), packet) << "trimmed to the IP total length";
    EXPECT_EQ(to_hex(inner.source.octets()), "0a000001");

    Packet v6(60, 0);
    v6[0] = 0x60;
    v6[5] = 20;
    v6[8] = 0xfd, v6[23] = 7;
    const auto reply = expect_write(t.bob.encapsulate(v6, t.b), 96, "bob's data");
    EXPECT_EQ(to_hex(std::span(reply).first(8)), "0400000004030201");
    const auto inner6 = t.alice.decapsulate(bob_address, reply, t.a);
    ASSERT_EQ(inner6.kind, Kind::WriteToTunnelV6);
    EXPECT_EQ(copy_of(inner6.packet), v6);
    EXPECT_EQ(to_hex(inner6.source.octets()), "fd000000000000000000000000000007");

    // An empty packet is a keepalive both ways.
    const auto bob_keepalive = expect_write(t.bob.encapsulate({}, t.b), 32, "bob's keepalive");
    EXPECT_EQ(t.alice.decapsulate(bob_address, bob_keepalive, t.a).kind, Kind::Done);

    expect_error(t.bob.decapsulate(alice_address, sealed, t.b), WireGuardError::DuplicateCounter, "replayed data");
    expect_error(t.bob.decapsulate(alice_address, keepalive, t.b), WireGuardError::DuplicateCounter,
                 "replayed keepalive");
}

TEST(Tunn, PresharedKeyMustMatch) {
    std::array<std::uint8_t, 32> psk{}, other{};
    psk.fill(0x11);
    other.fill(0x22);
    Peers t(nullptr, KeyView(psk), KeyView(other));
    // The initiation does not involve the preshared key; the response does.
    const auto response = t.respond(t.initiate());
    expect_error(t.alice.decapsulate(bob_address, response, t.a), WireGuardError::InvalidAeadTag, "response");
}

TEST(Tunn, CookieReplyIsAnsweredByAForcedInitiationWithMac2) {
    Peers t(std::make_shared<AlwaysLoaded>());
    const auto first = t.initiate();
    EXPECT_EQ(to_hex(std::span(first).subspan(initiation::mac2_offset)), std::string(32, '0'));
    const auto cookie_reply = expect_write(t.bob.decapsulate(alice_address, first, t.b), 64, "cookie reply");
    EXPECT_EQ(to_hex(std::span(cookie_reply).first(8)), "0300000004030201") << "addressed to the initiation";
    EXPECT_EQ(t.alice.decapsulate(bob_address, cookie_reply, t.a).kind, Kind::Done);

    EXPECT_EQ(t.alice.format_handshake_initiation(t.a, false).kind, Kind::Done) << "within the rekey timeout";
    const auto second = t.initiate(true);
    EXPECT_NE(to_hex(std::span(second).subspan(initiation::mac2_offset)), std::string(32, '0'));
    EXPECT_EQ(to_hex(std::span(second).subspan(4, 4)), "05030201") << "a new handshake takes the next index";
    EXPECT_EQ(t.bob.decapsulate(alice_address, t.confirm(t.respond(second)), t.b).kind, Kind::Done);

    // The cookie is bound to the address: from elsewhere it does not count.
    const auto third = t.initiate(true);
    expect_write(t.bob.decapsulate(bob_address, third, t.b), 64, "cookie reply to another address");
    expect_error(t.bob.decapsulate(std::nullopt, third, t.b), WireGuardError::UnderLoad, "unknown source under load");
}

TEST(Tunn, RefusesDatagramsOfWrongTypeOrSize) {
    auto message = [](Packet type, std::size_t size) {
        type.resize(size, 0);
        return type;
    };
    const std::pair<const char*, Packet> cases[] = {
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
    Peers t;
    for (const auto& [name, datagram] : cases) {
        expect_error(t.bob.decapsulate(alice_address, datagram, t.b), WireGuardError::InvalidPacket, name);
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
        Peers t;
        auto initiation_bytes = t.initiate();
        if (!c.edit_response) {
            initiation_bytes[c.offset] ^= 0x01;
            if (c.reseal_mac1) reseal_mac1(initiation_bytes, initiation_macs, testing::bob_public);
            expect_error(t.bob.decapsulate(alice_address, initiation_bytes, t.b), c.expected, c.name);
            continue;
        }
        const auto response_bytes = t.respond(initiation_bytes);
        auto edited = response_bytes;
        edited[c.offset] ^= 0x01;
        if (c.reseal_mac1) reseal_mac1(edited, response_macs, testing::alice_public);
        expect_error(t.alice.decapsulate(bob_address, edited, t.a), c.expected, c.name);
        // A refused response leaves the initiation waiting for the genuine one.
        t.confirm(response_bytes);
    }
}

TEST(Tunn, ResponderChecksTheInitiatorsKeyAndTimestamp) {
    Peers t;
    const auto initiation = t.initiate();
    t.respond(initiation);
    expect_error(t.bob.decapsulate(alice_address, initiation, t.b), WireGuardError::WrongTai64nTimestamp,
                 "replayed initiation");
    t.respond(t.initiate(true));

    // Someone who knows bob's public key but is not alice.
    std::array<std::uint8_t, 32> mallory_private{};
    mallory_private.fill(0x77);
    Tunn mallory(mallory_private, testing::bob_public, std::nullopt, std::nullopt, 9);
    const auto forged = expect_write(mallory.format_handshake_initiation(t.a, false), 148, "mallory's initiation");
    expect_error(t.bob.decapsulate(alice_address, forged, t.b), WireGuardError::WrongKey, "unknown initiator");
}

TEST(Tunn, HandshakeMessagesWithoutAnOutstandingHandshake) {
    Peers t;
    Packet reply(cookie_reply::size, 0);
    reply[0] = 3;
    expect_error(t.alice.decapsulate(bob_address, reply, t.a), WireGuardError::UnexpectedPacket,
                 "cookie reply to nothing");
    const auto response = t.respond(t.initiate());
    expect_error(t.alice.decapsulate(bob_address, reply, t.a), WireGuardError::WrongIndex, "cookie reply elsewhere");
    store_le32(reply, cookie_reply::receiver_offset, alice_index);
    expect_error(t.alice.decapsulate(bob_address, reply, t.a), WireGuardError::InvalidAeadTag, "forged cookie reply");

    t.confirm(response);
    expect_error(t.alice.decapsulate(bob_address, response, t.a), WireGuardError::UnexpectedPacket, "second response");
}

// A resent initiation leaves the earlier ones answerable; an answer forgets
// its initiation and every earlier one, so the session ends on the newest
// answered one, the one the peer keeps.
TEST(Tunn, AnyOutstandingInitiationMayBeAnsweredButNeverAnOlderOneAfterANewer) {
    Peers t;
    std::vector<Packet> responses;
    for (int i = 0; i < 3; ++i) responses.push_back(t.respond(t.initiate(true)));
    t.confirm(responses[1]);
    expect_error(t.alice.decapsulate(bob_address, responses[0], t.a), WireGuardError::WrongIndex,
                 "an answer to an initiation older than the answered one");
    const auto keepalive = t.confirm(responses[2]);
    EXPECT_EQ(t.bob.decapsulate(alice_address, keepalive, t.b).kind, Kind::Done);
    const auto sealed = expect_write(t.alice.encapsulate(ipv4_packet(20), t.a), 64, "data");
    EXPECT_EQ(t.bob.decapsulate(alice_address, sealed, t.b).kind, Kind::WriteToTunnelV4)
        << "data goes on the session of the newest answered initiation, the one the responder holds";

    // Only the last 8 stay answerable.
    Peers u;
    const auto first = u.respond(u.initiate(true));
    for (int i = 0; i < 8; ++i) u.initiate(true);
    expect_error(u.alice.decapsulate(bob_address, first, u.a), WireGuardError::WrongIndex, "the 9th most recent");
}

TEST(Tunn, TransportMessagesAreMatchedToASession) {
    Peers t;
    Packet stray(32, 0);
    stray[0] = 4;
    expect_error(t.bob.decapsulate(alice_address, stray, t.b), WireGuardError::NoCurrentSession, "no session yet");
    t.handshake();
    expect_error(t.bob.decapsulate(alice_address, stray, t.b), WireGuardError::WrongIndex, "unknown index");

    const auto sealed = expect_write(t.alice.encapsulate(ipv4_packet(40), t.a), 80, "data");
    auto forged = sealed;
    forged[40] ^= 0x10;
    expect_error(t.bob.decapsulate(alice_address, forged, t.b), WireGuardError::InvalidAeadTag, "altered data");
    EXPECT_EQ(t.bob.decapsulate(alice_address, sealed, t.b).kind, Kind::WriteToTunnelV4) << "the genuine one opens";

    // The payload decrypts but is no IP packet.
    const auto sealed_garbage = expect_write(t.alice.encapsulate(Packet(24, 0), t.a), 64, "garbage");
    expect_error(t.bob.decapsulate(alice_address, sealed_garbage, t.b), WireGuardError::InvalidPacket, "not IP");
}

TEST(Tunn, OldSessionStaysReadableAfterARekey) {
    Peers t;
    t.handshake();
    const auto in_flight = expect_write(t.alice.encapsulate(ipv4_packet(20), t.a), 64, "in flight");
    t.handshake();
    EXPECT_EQ(t.bob.decapsulate(alice_address, in_flight, t.b).kind, Kind::WriteToTunnelV4);
    const auto fresh = expect_write(t.alice.encapsulate(ipv4_packet(20), t.a), 64, "new session");
    EXPECT_EQ(to_hex(std::span(fresh).subspan(4, 4)), "ffffffff") << "bob's second index";
    EXPECT_EQ(t.bob.decapsulate(alice_address, fresh, t.b).kind, Kind::WriteToTunnelV4);
}

TEST(Tunn, DestinationBuffersTooSmall) {
    Peers t;
    Packet small(147);
    constexpr auto too_small = WireGuardError::DestinationBufferTooSmall;
    expect_error(t.alice.format_handshake_initiation(small, false), too_small, "initiation");
    const auto initiation = t.initiate();
    expect_error(t.bob.decapsulate(alice_address, initiation, std::span(small).first(91)), too_small, "response");
    const auto response = t.respond(initiation);
    expect_error(t.alice.decapsulate(bob_address, response, std::span(small).first(31)), too_small, "keepalive");
    t.bob.decapsulate(alice_address, t.confirm(response), t.b);

    expect_error(t.alice.encapsulate(ipv4_packet(20), std::span(small).first(63)), too_small, "data");
    const auto sealed = expect_write(t.alice.encapsulate(ipv4_packet(20), t.a), 64, "data");
    expect_error(t.bob.decapsulate(alice_address, sealed, std::span(small).first(31)), too_small, "decrypted data");
    EXPECT_EQ(t.bob.decapsulate(alice_address, sealed, t.b).kind, Kind::WriteToTunnelV4);
}

TEST(Tunn, LowOrderPeerKeyNeverHandshakes) {
    const std::array<std::uint8_t, 32> zero_point{};
    Tunn tunnel(testing::alice_private, zero_point, std::nullopt, std::nullopt, 1);
    Packet out(148);
    expect_error(tunnel.format_handshake_initiation(out, false), WireGuardError::WrongKey, "low-order peer");
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
