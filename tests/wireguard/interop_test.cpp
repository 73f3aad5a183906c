// Our engine against wireguard-go, a WireGuard implementation written by
// someone else: over the peer namespace's loopback, a handshake completes, the
// first transport message is the keepalive, and ICMP echo works through the
// tunnel in both roles; keys that do not fit fail the way the protocol says
// they must.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/random.hpp"
#include "common/socket_address.hpp"
#include "packet/icmp.hpp"
#include "packet/ipv4.hpp"
#include "peer/netns_guard.hpp"
#include "peer/peer_harness.hpp"
#include "peer/scripted_peer.hpp"
#include "wireguard/errors.hpp"
#include "wireguard/messages.hpp"
#include "wireguard/tunnel.hpp"

namespace quorlin::wireguard {
namespace {

using namespace std::chrono_literals;
using peer::PeerInfo;
using peer::PeerOptions;
using SteadyClock = std::chrono::steady_clock;
using Key = std::array<std::uint8_t, 32>;
using Packet = std::vector<std::uint8_t>;

// Bounds for waits on the peer. They only keep a broken exchange from hanging;
// wireguard-go answers within milliseconds.
constexpr auto answer_bound = 10s;
// How long a peer that must stay silent is given to prove it.
constexpr auto silence_bound = 2s;

Ipv4Octets octets(const std::string& dotted) {
    Ipv4Octets out{};
    EXPECT_EQ(inet_pton(AF_INET, dotted.c_str(), out.data()), 1) << dotted;
    return out;
}

Key key(const std::string& base64) {
    auto decoded = peer::decode_key(base64);
    EXPECT_TRUE(decoded) << base64;
    return decoded.value_or(Key{});
}

Key random_key() {
    Key k{};
    fill_random(k);
    return k;
}

bool is_message(std::span<const std::uint8_t> datagram, MessageType type, std::size_t size) {
    return datagram.size() == size && load_le32(datagram, type_offset) == static_cast<std::uint32_t>(type);
}

// A peer, and this thread inside its namespace until it goes. Declared in this
// order so that the thread leaves before the peer is torn down.
struct Started {
    peer::RealPeer peer;
    peer::NetnsGuard inside;

    const PeerInfo& info() const { return peer.info(); }
    std::string log() const { return peer.log_tail("wireguard-go"); }
    // A tunnel with the client's keys, as the peer knows them.
    Tunn client(std::optional<KeyView> preshared_key = std::nullopt) const {
        return Tunn(key(info().client_private_key), key(info().peer_public_key), preshared_key, std::nullopt,
                    random_u32());
    }
};

std::optional<Started> start_peer(const PeerOptions& options) {
    auto peer = peer::RealPeer::start(options);
    if (!peer) {
        ADD_FAILURE() << peer.error();
        return std::nullopt;
    }
    auto inside = peer::NetnsGuard::enter(peer->info().namespace_name);
    if (!inside) {
        ADD_FAILURE() << inside.error();
        return std::nullopt;
    }
    return Started{std::move(*peer), std::move(*inside)};
}

// A UDP socket on the namespace's loopback and the peer's address there.
struct Link {
    peer::ScriptedPeer socket;
    SocketAddress peer;

    bool send(std::span<const std::uint8_t> bytes) { return socket.send_to(bytes, peer).has_value(); }

    // The next datagram before the deadline, or nullopt.
    std::optional<Packet> receive(SteadyClock::time_point deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left <= 0ms) return std::nullopt;
        auto got = socket.receive(left);
        if (!got) ADD_FAILURE() << got.error();
        if (!got || !*got) return std::nullopt;
        return std::move((*got)->bytes);
    }
};

std::optional<Link> link_to(const PeerInfo& info, int family) {
    auto socket = peer::ScriptedPeer::open(family);
    if (!socket) {
        ADD_FAILURE() << socket.error();
        return std::nullopt;
    }
    if (family == AF_INET) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        v4.sin_port = htons(info.listen_port);
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return Link{std::move(*socket), SocketAddress(v4)};
    }
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(info.listen_port);
    v6.sin6_addr = in6addr_loopback;
    return Link{std::move(*socket), SocketAddress(v6)};
}

struct HandshakeOutcome {
    bool responded = false;  // a handshake response arrived before the bound
    TunnResult::Kind kind = TunnResult::Kind::Done;
    WireGuardError error = WireGuardError::DestinationBufferTooSmall;
};

// Initiation, response, keepalive: the exchange that authenticates the peer.
HandshakeOutcome handshake(Tunn& tunnel, Link& link, SteadyClock::duration bound) {
    HandshakeOutcome outcome;
    Packet out(65535);
    const TunnResult first = tunnel.format_handshake_initiation(out, false);
    EXPECT_TRUE(is_message(first.packet, MessageType::HandshakeInitiation, initiation::size));
    EXPECT_TRUE(link.send(first.packet));
    const auto deadline = SteadyClock::now() + bound;
    while (auto datagram = link.receive(deadline)) {
        if (!is_message(*datagram, MessageType::HandshakeResponse, response::size)) continue;
        outcome.responded = true;
        const TunnResult result = tunnel.decapsulate(IpAddress::of(link.peer), *datagram, out);
        outcome.kind = result.kind;
        outcome.error = result.error;
        if (result.kind == TunnResult::Kind::WriteToNetwork) {
            EXPECT_TRUE(is_message(result.packet, MessageType::TransportData, transport::min_size)) << "keepalive";
            EXPECT_TRUE(link.send(result.packet));
        }
        break;
    }
    return outcome;
}

// One ICMP echo to the peer's tunnel address: the request is sealed and sent,
// and datagrams are passed to the tunnel until it yields the reply.
testing::AssertionResult echo(Tunn& tunnel, Link& link, const PeerInfo& info) {
    const Ipv4Octets source = octets(info.client_tunnel_ip);
    const Ipv4Octets destination = octets(info.peer_tunnel_ip);
    const auto identifier = static_cast<std::uint16_t>(random_u32());
    const std::uint16_t sequence = 3;
    const auto request =
        icmp_echo_request(source, destination, static_cast<std::uint16_t>(random_u32()), identifier, sequence);
    Packet out(65535);
    const TunnResult sealed = tunnel.encapsulate(request, out);
    if (sealed.kind != TunnResult::Kind::WriteToNetwork) return testing::AssertionFailure() << "not encapsulated";
    if (!link.send(sealed.packet)) return testing::AssertionFailure() << "send failed";
    const auto deadline = SteadyClock::now() + answer_bound;
    while (auto datagram = link.receive(deadline)) {
        const TunnResult opened = tunnel.decapsulate(IpAddress::of(link.peer), *datagram, out);
        if (opened.kind == TunnResult::Kind::Err) {
            return testing::AssertionFailure() << "decapsulate: " << error_name(opened.error);
        }
        if (opened.kind == TunnResult::Kind::WriteToNetwork) link.send(opened.packet);
        if (opened.kind == TunnResult::Kind::WriteToTunnelV4 &&
            is_icmp_echo_reply(opened.packet, destination, source, identifier, sequence)) {
            return testing::AssertionSuccess();
        }
    }
    return testing::AssertionFailure() << "no echo reply within the bound";
}

// What the peer reports about us: when it last completed a handshake with us
// (0 for never) and the bytes it received from us.
struct PeerView {
    long long latest_handshake = -1;
    long long received_bytes = -1;
};

PeerView peer_view(const PeerInfo& info) {
    const std::string command =
        "timeout 15 ip netns exec " + info.namespace_name + " wg show " + info.interface_name + " dump";
    PeerView view;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return view;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        // peer lines: public-key psk endpoint allowed-ips latest-handshake rx tx keepalive
        std::vector<std::string> fields;
        for (char* field = std::strtok(line, "\t\n"); field != nullptr; field = std::strtok(nullptr, "\t\n")) {
            fields.emplace_back(field);
        }
        if (fields.size() == 8 && fields[0] == info.client_public_key) {
            view.latest_handshake = std::atoll(fields[4].c_str());
            view.received_bytes = std::atoll(fields[5].c_str());
        }
    }
    ::pclose(pipe);
    return view;
}

struct InteropCase {
    const char* name;
    bool preshared_key;
    int family;
};

class InteropWithRealPeer : public testing::TestWithParam<InteropCase> {};

TEST_P(InteropWithRealPeer, HandshakeKeepaliveAndEcho) {
    QUORLIN_SKIP_WITHOUT_PEER();
    const InteropCase& c = GetParam();
    auto started = start_peer({.preshared_key = c.preshared_key, .dns = false});
    ASSERT_TRUE(started);
    const PeerInfo& info = started->info();
    ASSERT_TRUE(c.family == AF_INET || info.endpoint_ipv6) << "the peer's namespace has no IPv6 loopback";
    const std::optional<Key> preshared = info.preshared_key ? std::optional(key(*info.preshared_key)) : std::nullopt;
    Tunn tunnel = started->client(preshared ? std::optional<KeyView>(*preshared) : std::nullopt);
    EXPECT_EQ(tunnel.static_public_key(), key(info.client_public_key));

    auto link = link_to(info, c.family);
    ASSERT_TRUE(link);
    const HandshakeOutcome outcome = handshake(tunnel, *link, answer_bound);
    ASSERT_TRUE(outcome.responded) << started->log();
    ASSERT_EQ(outcome.kind, TunnResult::Kind::WriteToNetwork) << error_name(outcome.error);

    // The keepalive alone confirms the session at the peer: it counts the
    // handshake complete and the keepalive received.
    PeerView view;
    const auto deadline = SteadyClock::now() + answer_bound;
    while ((view = peer_view(info)).latest_handshake <= 0 && SteadyClock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GT(view.latest_handshake, 0);
    EXPECT_EQ(view.received_bytes, 148 + 32);

    EXPECT_TRUE(echo(tunnel, *link, info)) << started->log();
    EXPECT_TRUE(echo(tunnel, *link, info)) << "the session carries more than one round trip";
}

INSTANTIATE_TEST_SUITE_P(KeysAndFamilies, InteropWithRealPeer,
                         testing::Values(InteropCase{"Ipv4", false, AF_INET},
                                         InteropCase{"Ipv6", false, AF_INET6},
                                         InteropCase{"Ipv4PresharedKey", true, AF_INET},
                                         InteropCase{"Ipv6PresharedKey", true, AF_INET6}),
                         [](const testing::TestParamInfo<InteropCase>& p) { return std::string(p.param.name); });

// The preshared key enters only the responder's side of the handshake: the
// peer answers, and the response fails its authentication tag with us.
TEST(InteropWithRealPeerKeys, MismatchedPresharedKeyFailsTheResponseTag) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto started = start_peer({.preshared_key = true, .dns = false});
    ASSERT_TRUE(started);
    const Key wrong_psk = random_key();
    Tunn tunnel = started->client(KeyView(wrong_psk));
    auto link = link_to(started->info(), AF_INET);
    ASSERT_TRUE(link);
    const HandshakeOutcome outcome = handshake(tunnel, *link, answer_bound);
    ASSERT_TRUE(outcome.responded) << started->log();
    EXPECT_EQ(outcome.kind, TunnResult::Kind::Err);
    EXPECT_EQ(error_name(outcome.error), "InvalidAeadTag");
}

// An initiation the peer cannot authenticate is dropped without a word: the
// prober must time out rather than hear an answer.
TEST(InteropWithRealPeerKeys, WrongKeysGetNoResponse) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto started = start_peer({.dns = false});
    ASSERT_TRUE(started);
    const PeerInfo& info = started->info();
    struct Case {
        const char* name;
        Key client_private;
        Key peer_public;
    };
    const Case cases[] = {
        // MAC1 is keyed with the responder's public key: the peer rejects it.
        {"public key that is not the peer's", key(info.client_private_key), key(info.client_public_key)},
        // A static key the peer has no entry for.
        {"client the peer does not know", random_key(), key(info.peer_public_key)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tunn tunnel(c.client_private, c.peer_public, std::nullopt, std::nullopt, random_u32());
        auto link = link_to(info, AF_INET);
        ASSERT_TRUE(link);
        EXPECT_FALSE(handshake(tunnel, *link, silence_bound).responded);
    }
    // The same peer still answers the right keys afterwards.
    Tunn tunnel = started->client();
    auto link = link_to(info, AF_INET);
    ASSERT_TRUE(link);
    EXPECT_EQ(handshake(tunnel, *link, answer_bound).kind, TunnResult::Kind::WriteToNetwork);
}

// A datagram for the client's tunnel address, sent inside the peer's
// namespace: the peer has to carry it through the tunnel.
bool send_to_client_through_peer(const PeerInfo& info, const std::string& text) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    const Ipv4Octets client = octets(info.client_tunnel_ip);
    std::memcpy(&to.sin_addr, client.data(), client.size());
    const ssize_t sent = ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
    return sent == static_cast<ssize_t>(text.size());
}

// The other direction: wireguard-go initiates (it has a packet for us), our
// engine answers as responder, and data then flows both ways.
TEST(InteropWithRealPeerResponder, AnswersThePeersInitiation) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto started = start_peer({.dns = false});
    ASSERT_TRUE(started);
    const PeerInfo& info = started->info();
    Tunn tunnel = started->client();
    auto link = link_to(info, AF_INET);
    ASSERT_TRUE(link);

    // Tell the peer where we are, then give it a packet for our tunnel address.
    const std::string command = "timeout 15 ip netns exec " + info.namespace_name + " wg set " + info.interface_name +
                                " peer " + info.client_public_key + " endpoint " + link->socket.endpoint_text();
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string note = "for the client, through the tunnel";
    ASSERT_TRUE(send_to_client_through_peer(info, note)) << std::strerror(errno);

    Packet out(65535);
    const auto deadline = SteadyClock::now() + answer_bound;
    bool answered = false;
    for (;;) {
        auto datagram = link->receive(deadline);
        ASSERT_TRUE(datagram) << "answered: " << answered << "\n" << started->log();
        const TunnResult result = tunnel.decapsulate(IpAddress::of(link->peer), *datagram, out);
        ASSERT_NE(result.kind, TunnResult::Kind::Err) << error_name(result.error);
        if (is_message(*datagram, MessageType::HandshakeInitiation, initiation::size)) {
            EXPECT_TRUE(is_message(result.packet, MessageType::HandshakeResponse, response::size));
            ASSERT_TRUE(link->send(result.packet));
            answered = true;
        }
        if (result.kind == TunnResult::Kind::WriteToTunnelV4) {
            const auto inner = read_ipv4(result.packet);
            ASSERT_TRUE(inner);
            EXPECT_EQ(inner->protocol, ip_protocol_udp);
            EXPECT_EQ(inner->source, octets(info.peer_tunnel_ip));
            EXPECT_EQ(inner->destination, octets(info.client_tunnel_ip));
            ASSERT_EQ(inner->payload.size(), 8 + note.size());
            EXPECT_EQ(std::string(inner->payload.begin() + 8, inner->payload.end()), note);
            break;
        }
    }
    EXPECT_TRUE(answered);
    // Having heard from the initiator on the new session, we may send on it.
    EXPECT_TRUE(echo(tunnel, *link, info));
}

}  // namespace
}  // namespace quorlin::wireguard
