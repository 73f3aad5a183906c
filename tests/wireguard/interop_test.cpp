// Our engine against wireguard-go, a WireGuard implementation written by
// someone else: over the peer namespace's loopback, a handshake completes, the
// first transport message is the keepalive, and ICMP echo and DNS work through
// the tunnel; keys that do not fit fail the way the protocol says they must.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/random.hpp"
#include "common/socket_address.hpp"
#include "packet/dns.hpp"
#include "packet/icmp.hpp"
#include "packet/ipv4.hpp"
#include "peer/netns_guard.hpp"
#include "peer/peer_harness.hpp"
#include "wireguard/errors.hpp"
#include "wireguard/tunnel.hpp"

namespace quorlin::wireguard {
namespace {

using namespace std::chrono_literals;
using peer::NetnsGuard;
using peer::PeerInfo;
using peer::PeerOptions;
using peer::RealPeer;
using SteadyClock = std::chrono::steady_clock;
using Key = std::array<std::uint8_t, 32>;

// Bounds for waits on the peer. They only keep a broken exchange from hanging;
// wireguard-go answers within milliseconds.
constexpr auto answer_bound = 10s;
// How long a peer that must stay silent is given to prove it.
constexpr auto silence_bound = 2s;

constexpr std::size_t buffer_bytes = 65535;

std::optional<SocketAddress> parse_endpoint(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    const int port = std::atoi(text.c_str() + colon + 1);
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6.sin6_addr) != 1) return std::nullopt;
        return SocketAddress(v6);
    }
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) != 1) return std::nullopt;
    return SocketAddress(v4);
}

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

// One connected UDP socket to the peer, opened inside its namespace.
class PeerSocket {
public:
    explicit PeerSocket(const SocketAddress& peer) : peer_(peer) {
        fd_ = ::socket(peer.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(fd_, 0) << std::strerror(errno);
        EXPECT_EQ(::connect(fd_, peer.as_sockaddr(), peer.length()), 0) << std::strerror(errno);
    }
    ~PeerSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    PeerSocket(const PeerSocket&) = delete;
    PeerSocket& operator=(const PeerSocket&) = delete;

    const SocketAddress& peer() const { return peer_; }

    std::uint16_t local_port() const {
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length), 0);
        auto address = SocketAddress::from_sockaddr(reinterpret_cast<sockaddr*>(&local), length);
        return address ? ntohs(address->is_ipv4() ? address->ipv4()->sin_port : address->ipv6()->sin6_port) : 0;
    }

    bool send(std::span<const std::uint8_t> bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // The next datagram before the deadline, or nullopt.
    std::optional<std::vector<std::uint8_t>> receive(SteadyClock::time_point deadline) {
        std::vector<std::uint8_t> buffer(buffer_bytes);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                ADD_FAILURE() << "recv: " << std::strerror(errno);
                return std::nullopt;
            }
            buffer.resize(static_cast<std::size_t>(n));
            return buffer;
        }
    }

private:
    SocketAddress peer_;
    int fd_ = -1;
};

std::uint32_t message_type(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < 4) return 0;
    return datagram[0] | (datagram[1] << 8) | (datagram[2] << 16) | (static_cast<std::uint32_t>(datagram[3]) << 24);
}

struct HandshakeOutcome {
    bool responded = false;              // a handshake response arrived before the bound
    TunnResult::Kind kind = TunnResult::Kind::Done;
    WireGuardError error = WireGuardError::DestinationBufferTooSmall;
    std::size_t keepalive_bytes = 0;     // the first transport message we sent
};

// Initiation, response, keepalive: the exchange that authenticates the peer.
// A cookie reply (a peer under load) is answered with one new initiation.
HandshakeOutcome handshake(Tunn& tunnel, PeerSocket& socket, SteadyClock::duration bound) {
    HandshakeOutcome outcome;
    std::vector<std::uint8_t> out(buffer_bytes);
    TunnResult first = tunnel.format_handshake_initiation(out, false);
    EXPECT_EQ(first.kind, TunnResult::Kind::WriteToNetwork);
    EXPECT_EQ(first.packet.size(), 148u);
    EXPECT_TRUE(socket.send(first.packet));
    const auto deadline = SteadyClock::now() + bound;
    while (auto datagram = socket.receive(deadline)) {
        const std::uint32_t type = message_type(*datagram);
        if (type == 3 && datagram->size() == 64) {
            TunnResult cookie = tunnel.decapsulate(IpAddress::of(socket.peer()), *datagram, out);
            EXPECT_EQ(cookie.kind, TunnResult::Kind::Done);
            TunnResult retry = tunnel.format_handshake_initiation(out, true);
            EXPECT_EQ(retry.kind, TunnResult::Kind::WriteToNetwork);
            EXPECT_TRUE(socket.send(retry.packet));
            continue;
        }
        if (type != 2 || datagram->size() != 92) continue;
        outcome.responded = true;
        TunnResult result = tunnel.decapsulate(IpAddress::of(socket.peer()), *datagram, out);
        outcome.kind = result.kind;
        outcome.error = result.error;
        if (result.kind == TunnResult::Kind::WriteToNetwork) {
            outcome.keepalive_bytes = result.packet.size();
            EXPECT_EQ(message_type(result.packet), 4u);
            EXPECT_TRUE(socket.send(result.packet));
        }
        break;
    }
    return outcome;
}

// Sends one inner IPv4 packet through the tunnel and waits for an inner packet
// the predicate accepts. Keepalives and unrelated packets are passed over.
template <typename Accept>
testing::AssertionResult exchange(Tunn& tunnel, PeerSocket& socket, std::span<const std::uint8_t> inner,
                                  Accept accept) {
    std::vector<std::uint8_t> out(buffer_bytes);
    TunnResult sealed = tunnel.encapsulate(inner, out);
    if (sealed.kind != TunnResult::Kind::WriteToNetwork) return testing::AssertionFailure() << "not encapsulated";
    if (sealed.packet.size() != 32 + (inner.size() + 15) / 16 * 16) {
        return testing::AssertionFailure() << "transport message of " << sealed.packet.size() << " bytes";
    }
    if (!socket.send(sealed.packet)) return testing::AssertionFailure() << "send failed";
    const auto deadline = SteadyClock::now() + answer_bound;
    while (auto datagram = socket.receive(deadline)) {
        TunnResult opened = tunnel.decapsulate(IpAddress::of(socket.peer()), *datagram, out);
        if (opened.kind == TunnResult::Kind::Err) {
            return testing::AssertionFailure() << "decapsulate: " << error_name(opened.error);
        }
        if (opened.kind == TunnResult::Kind::WriteToNetwork) {
            socket.send(opened.packet);
            continue;
        }
        if (opened.kind == TunnResult::Kind::WriteToTunnelV4 && accept(opened.packet)) {
            return testing::AssertionSuccess();
        }
    }
    return testing::AssertionFailure() << "no matching inner packet within the bound";
}

testing::AssertionResult echo(Tunn& tunnel, PeerSocket& socket, const PeerInfo& info, const std::string& target) {
    const Ipv4Octets source = octets(info.client_tunnel_ip);
    const Ipv4Octets destination = octets(target);
    const auto identifier = static_cast<std::uint16_t>(random_u32());
    const std::uint16_t sequence = 3;
    const auto request = icmp_echo_request(source, destination, static_cast<std::uint16_t>(random_u32()),
                                           identifier, sequence);
    return exchange(tunnel, socket, request, [&](std::span<const std::uint8_t> packet) {
        return is_icmp_echo_reply(packet, destination, source, identifier, sequence);
    });
}

testing::AssertionResult dns_answers(Tunn& tunnel, PeerSocket& socket, const PeerInfo& info,
                                     const std::string& name, const std::vector<Ipv4Octets>& expected) {
    const Ipv4Octets client = octets(info.client_tunnel_ip);
    const Ipv4Octets server = octets(info.dns_address.value_or(""));
    const auto port = static_cast<std::uint16_t>(32768 + random_u32() % 28232);
    const auto query_id = static_cast<std::uint16_t>(random_u32());
    auto query = dns_query(client, server, port, query_id, static_cast<std::uint16_t>(random_u32()), name);
    if (!query) return testing::AssertionFailure() << query.error();
    std::vector<Ipv4Octets> answers;
    auto result = exchange(tunnel, socket, *query, [&](std::span<const std::uint8_t> packet) {
        auto parsed = parse_dns_a_response(packet, server, client, port, query_id, name);
        if (parsed) answers = *parsed;
        return parsed.has_value();
    });
    if (!result) return result;
    if (answers != expected) return testing::AssertionFailure() << answers.size() << " A records, not as expected";
    return testing::AssertionSuccess();
}

// What the peer reports about us: when it last completed a handshake with us
// (0 for never) and the bytes it received from us.
struct PeerView {
    long long latest_handshake = -1;
    long long received_bytes = -1;
};

PeerView peer_view(const PeerInfo& info) {
    const std::string command = "timeout 15 ip netns exec " + info.namespace_name + " wg show " +
                                info.interface_name + " dump";
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

struct Started {
    RealPeer peer;
    NetnsGuard inside;
};

// A peer, and this thread inside its namespace until the result goes.
// Declared in this order so the thread leaves before the peer is torn down.
std::optional<Started> start_peer(const PeerOptions& options) {
    auto peer = RealPeer::start(options);
    if (!peer) {
        ADD_FAILURE() << peer.error();
        return std::nullopt;
    }
    auto inside = NetnsGuard::enter(peer->info().namespace_name);
    if (!inside) {
        ADD_FAILURE() << inside.error();
        return std::nullopt;
    }
    return Started{std::move(*peer), std::move(*inside)};
}

std::optional<std::string> endpoint_for(const PeerInfo& info, int family) {
    return family == AF_INET ? std::optional(info.endpoint_ipv4) : info.endpoint_ipv6;
}

struct InteropCase {
    const char* name;
    bool preshared_key;
    int family;
};

class InteropWithRealPeer : public testing::TestWithParam<InteropCase> {};

TEST_P(InteropWithRealPeer, HandshakeKeepaliveEchoAndDns) {
    QUORLIN_SKIP_WITHOUT_PEER();
    const InteropCase& c = GetParam();
    auto started = start_peer({.preshared_key = c.preshared_key});
    ASSERT_TRUE(started);
    const PeerInfo& info = started->peer.info();
    const auto endpoint_text = endpoint_for(info, c.family);
    ASSERT_TRUE(endpoint_text) << "the peer's namespace has no IPv6 loopback";
    const auto endpoint = parse_endpoint(*endpoint_text);
    ASSERT_TRUE(endpoint);

    const Key client_private = key(info.client_private_key);
    const Key peer_public = key(info.peer_public_key);
    std::optional<Key> preshared;
    if (info.preshared_key) preshared = key(*info.preshared_key);
    Tunn tunnel(client_private, peer_public, preshared ? std::optional<KeyView>(*preshared) : std::nullopt,
                std::nullopt, random_u32());
    EXPECT_EQ(tunnel.static_public_key(), key(info.client_public_key));

    PeerSocket socket(*endpoint);
    const HandshakeOutcome outcome = handshake(tunnel, socket, answer_bound);
    ASSERT_TRUE(outcome.responded) << started->peer.log_tail("wireguard-go");
    ASSERT_EQ(outcome.kind, TunnResult::Kind::WriteToNetwork) << error_name(outcome.error);
    EXPECT_EQ(outcome.keepalive_bytes, 32u);

    // The keepalive alone confirms the session at the peer: it counts the
    // handshake complete and the keepalive received.
    PeerView view;
    const auto deadline = SteadyClock::now() + answer_bound;
    while ((view = peer_view(info)).latest_handshake <= 0 && SteadyClock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GT(view.latest_handshake, 0);
    EXPECT_EQ(view.received_bytes, 148 + 32);

    EXPECT_TRUE(echo(tunnel, socket, info, info.peer_tunnel_ip)) << started->peer.log_tail("wireguard-go");
    EXPECT_TRUE(dns_answers(tunnel, socket, info, "two.quorlin.test",
                            {octets("192.0.2.1"), octets("192.0.2.2")}))
        << started->peer.log_tail("dnsmasq");
    EXPECT_TRUE(dns_answers(tunnel, socket, info, "nx.quorlin.test", {}));
    // The session carries more than one round trip.
    EXPECT_TRUE(echo(tunnel, socket, info, info.peer_tunnel_ip));
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
    struct Case {
        const char* name;
        bool peer_has_psk;
        bool we_have_psk;  // a fresh random one, never the peer's
    };
    const Case cases[] = {
        {"both, different", true, true},
        {"peer only", true, false},
        {"ours only", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto started = start_peer({.preshared_key = c.peer_has_psk, .dns = false});
        ASSERT_TRUE(started);
        const PeerInfo& info = started->peer.info();
        const Key client_private = key(info.client_private_key);
        const Key peer_public = key(info.peer_public_key);
        const Key wrong_psk = random_key();
        Tunn tunnel(client_private, peer_public, c.we_have_psk ? std::optional<KeyView>(wrong_psk) : std::nullopt,
                    std::nullopt, random_u32());
        PeerSocket socket(*parse_endpoint(info.endpoint_ipv4));
        const HandshakeOutcome outcome = handshake(tunnel, socket, answer_bound);
        ASSERT_TRUE(outcome.responded) << started->peer.log_tail("wireguard-go");
        EXPECT_EQ(outcome.kind, TunnResult::Kind::Err);
        EXPECT_EQ(error_name(outcome.error), "InvalidAeadTag");
    }
}

// An initiation the peer cannot authenticate is dropped without a word: the
// prober must time out rather than hear an answer.
TEST(InteropWithRealPeerKeys, WrongKeysGetNoResponse) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto started = start_peer({.dns = false});
    ASSERT_TRUE(started);
    const PeerInfo& info = started->peer.info();
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
        PeerSocket socket(*parse_endpoint(info.endpoint_ipv4));
        const HandshakeOutcome outcome = handshake(tunnel, socket, silence_bound);
        EXPECT_FALSE(outcome.responded);
    }
    // The same peer still answers the right keys afterwards.
    Tunn tunnel(key(info.client_private_key), key(info.peer_public_key), std::nullopt, std::nullopt, random_u32());
    PeerSocket socket(*parse_endpoint(info.endpoint_ipv4));
    EXPECT_EQ(handshake(tunnel, socket, answer_bound).kind, TunnResult::Kind::WriteToNetwork);
}

// The other direction: wireguard-go initiates (it has a packet for us), our
// engine answers as responder, and data then flows both ways.
TEST(InteropWithRealPeerResponder, AnswersThePeersInitiation) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto started = start_peer({.dns = false});
    ASSERT_TRUE(started);
    const PeerInfo& info = started->peer.info();
    Tunn tunnel(key(info.client_private_key), key(info.peer_public_key), std::nullopt, std::nullopt, random_u32());
    PeerSocket socket(*parse_endpoint(info.endpoint_ipv4));

    // Tell the peer where we are, then give it a packet for our tunnel address.
    const std::string command = "timeout 15 ip netns exec " + info.namespace_name + " wg set " +
                                info.interface_name + " peer " + info.client_public_key +
                                " endpoint 127.0.0.1:" + std::to_string(socket.local_port());
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string note = "for the client, through the tunnel";
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        to.sin_addr.s_addr = 0;
        ASSERT_EQ(inet_pton(AF_INET, info.client_tunnel_ip.c_str(), &to.sin_addr), 1);
        EXPECT_EQ(::sendto(fd, note.data(), note.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(note.size()))
            << std::strerror(errno);
        ::close(fd);
    }

    std::vector<std::uint8_t> out(buffer_bytes);
    const auto deadline = SteadyClock::now() + answer_bound;
    bool answered = false;
    bool delivered = false;
    while (!delivered) {
        auto datagram = socket.receive(deadline);
        ASSERT_TRUE(datagram) << "answered: " << answered << "\n" << started->peer.log_tail("wireguard-go");
        TunnResult result = tunnel.decapsulate(IpAddress::of(socket.peer()), *datagram, out);
        ASSERT_NE(result.kind, TunnResult::Kind::Err) << error_name(result.error);
        if (message_type(*datagram) == 1) {
            ASSERT_EQ(result.kind, TunnResult::Kind::WriteToNetwork);
            EXPECT_EQ(result.packet.size(), 92u);
            ASSERT_TRUE(socket.send(result.packet));
            answered = true;
            continue;
        }
        if (result.kind != TunnResult::Kind::WriteToTunnelV4) continue;
        auto inner = read_ipv4(result.packet);
        ASSERT_TRUE(inner);
        EXPECT_EQ(inner->protocol, ip_protocol_udp);
        EXPECT_EQ(inner->source, octets(info.peer_tunnel_ip));
        EXPECT_EQ(inner->destination, octets(info.client_tunnel_ip));
        ASSERT_EQ(inner->payload.size(), 8 + note.size());
        EXPECT_EQ(std::string(inner->payload.begin() + 8, inner->payload.end()), note);
        delivered = true;
    }
    EXPECT_TRUE(answered);
    // Having heard from the initiator on the new session, we may send on it.
    EXPECT_TRUE(echo(tunnel, socket, info, info.peer_tunnel_ip));
}

}  // namespace
}  // namespace quorlin::wireguard
