// TcpConnection against the Linux TCP stack of the real peer's namespace,
// through wireguard-go: a server on the peer's tunnel address sends a known
// body or echoes ours, and the stream must arrive byte for byte, also when
// the relay drops one of the server's data segments.

#include <gtest/gtest.h>

#include "peer/child_process.hpp"
#include "peer/json_line.hpp"
#include "peer/netns_guard.hpp"
#include "peer/peer_harness.hpp"
#include "probe/inner_link.hpp"
#include "probe/session.hpp"
#include "probe/socket_address_literal.hpp"
#include "probe/tcp_connection.hpp"
#include "probe/probe_test_support.hpp"

namespace quorlin {
namespace {

using namespace std::chrono_literals;
using peer::ChildProcess;

constexpr std::uint16_t server_port = 8080;

// "body N": N bytes of i * 7 mod 251; "echo N": the next N bytes back. Then
// the server closes its side.
constexpr const char* server_script = R"(
import socket, sys
server = socket.create_server((sys.argv[1], int(sys.argv[2])))
print("ready", flush=True)
while True:
    connection, _ = server.accept()
    with connection, connection.makefile("rb") as reader:
        kind, size = reader.readline().split()
        left = int(size)
        if kind == b"body":
            connection.sendall(bytes(i * 7 % 251 for i in range(left)))
        while kind == b"echo" and left:
            chunk = reader.read1(min(left, 65536))
            if not chunk:
                break
            connection.sendall(chunk)
            left -= len(chunk)
)";

std::vector<std::uint8_t> body(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 % 251);
    return bytes;
}

std::vector<std::uint8_t> text_bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<std::string> in_namespace(const std::string& name, std::vector<std::string> command) {
    command.insert(command.begin(), {"ip", "netns", "exec", name});
    return command;
}

std::optional<std::string> relay_endpoint(const ChildProcess& relay) {
    const auto ready = peer::parse_json(relay.ready_line());
    const peer::JsonValue* endpoint = ready ? ready->find("endpoint") : nullptr;
    if (endpoint == nullptr) return std::nullopt;
    return endpoint->text;
}

// One connection over a fresh session: the request, then everything until the FIN.
std::expected<std::vector<std::uint8_t>, std::string> fetch(const peer::PeerInfo& info, const std::string& endpoint_text,
                                                            const std::vector<std::uint8_t>& request) {
    const auto endpoint = parse_socket_address_literal(endpoint_text);
    const auto private_key = parse_private_key(info.client_private_key);
    const auto peer_key = peer::decode_key(info.peer_public_key);
    const auto source = parse_ipv4_address(info.client_tunnel_ip);
    const auto server = parse_ipv4_address(info.peer_tunnel_ip);
    if (!endpoint || !private_key || !peer_key || !source || !server) return std::unexpected("bad peer description");
    auto socket = open_probe_socket(*endpoint);
    if (!socket) return std::unexpected("no socket");
    wireguard::Tunn tunnel(private_key->bytes(), *peer_key, std::nullopt, std::nullopt, random_u32());
    const SessionOutcome session = establish_session(*socket, *endpoint, tunnel, Clock::now() + 10s);
    const auto* start = std::get_if<SessionStart>(&session);
    if (start == nullptr) return std::unexpected(std::get<HandshakeFailure>(session).message);

    TunnelLink link(*socket, *endpoint, tunnel);
    TcpConnection connection(link, *source, TcpTarget{*server, server_port}, 1380);
    const Instant deadline = Clock::now() + 60s;
    if (auto opened = connection.open(deadline, start->round_trip); !opened) return std::unexpected(opened.error().detail);
    if (auto sent = connection.send(request, deadline); !sent) return std::unexpected(sent.error().detail);
    std::vector<std::uint8_t> received;
    std::vector<std::uint8_t> buffer(3000);
    for (;;) {
        const auto got = connection.receive(buffer, deadline);
        if (!got) return std::unexpected(got.error().detail);
        if (*got == 0) break;
        received.insert(received.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*got));
    }
    connection.close();
    return received;
}

TEST(TcpConnectionRealPeer, CarriesAStreamEachWayByteForByte) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto peer = peer::RealPeer::start({.dns = false});
    ASSERT_TRUE(peer) << peer.error();
    const peer::PeerInfo& info = peer->info();
    auto server = ChildProcess::start(
        in_namespace(info.namespace_name, {peer::test_python(), "-c", server_script, info.peer_tunnel_ip,
                                           std::to_string(server_port)}),
        20s);
    ASSERT_TRUE(server) << server.error();
    // The handshake response and the SYN-ACK come first; the sixth datagram
    // towards us is one of the server's data segments.
    auto relay = ChildProcess::start(
        in_namespace(info.namespace_name, {peer::test_python(), QUORLIN_SOURCE_DIR "/tests/peer/relay.py", "serve",
                                           "--peer", info.endpoint_ipv4, "--to-client", R"({"drop_nth":[6]})"}),
        20s);
    ASSERT_TRUE(relay) << relay.error();
    const auto through_relay = relay_endpoint(*relay);
    ASSERT_TRUE(through_relay) << relay->ready_line();
    auto inside = peer::NetnsGuard::enter(info.namespace_name);
    ASSERT_TRUE(inside) << inside.error();

    std::vector<std::uint8_t> echo_request = text_bytes("echo 100000\n");
    const std::vector<std::uint8_t> echoed = body(100'000);
    echo_request.insert(echo_request.end(), echoed.begin(), echoed.end());
    const struct Case {
        const char* name;
        std::string endpoint;
        std::vector<std::uint8_t> request;
        std::vector<std::uint8_t> expected;
    } cases[] = {
        {"a 200 KB body", info.endpoint_ipv4, text_bytes("body 200000\n"), body(200'000)},
        {"100 KB sent and echoed", info.endpoint_ipv4, echo_request, echoed},
        {"a 200 KB body, one segment lost", *through_relay, text_bytes("body 200000\n"), body(200'000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto received = fetch(info, c.endpoint, c.request);
        ASSERT_TRUE(received) << received.error() << "\n" << peer->log_tail("wireguard-go");
        EXPECT_EQ(received->size(), c.expected.size());
        EXPECT_TRUE(*received == c.expected) << "the stream differs";
    }
}

}  // namespace
}  // namespace quorlin
