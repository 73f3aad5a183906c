#pragma once
// The WireGuard session over the probe's socket: the handshake that proves the
// peer holds the expected key, and the encrypted exchange of one inner packet.
// Nothing here records phases; the sequence and the checks turn these
// outcomes into phases.

#include "common/clock.hpp"
#include "common/socket_address.hpp"
#include "packet/ipv4.hpp"
#include "probe/recorder.hpp"
#include "probe/report.hpp"
#include "probe/udp_socket.hpp"
#include "wireguard/tunnel.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace quorlin {

struct KeepaliveSent {
    std::uint64_t bytes = 0;
};
struct KeepaliveFailed {
    std::string message;
};

struct SessionStart {
    std::uint64_t handshake_sent_bytes = 0;
    std::uint64_t handshake_received_bytes = 0;
    std::variant<KeepaliveSent, KeepaliveFailed> keepalive;
    Instant established{};  // when the response was accepted: the session's age counts from here
};

struct HandshakeFailure {
    std::string message;
    std::uint64_t sent_bytes = 0;
    std::uint64_t received_bytes = 0;
    PhaseStatus status = PhaseStatus::unconfirmed;  // error only for a local socket failure
    std::optional<FailureCause> cause;               // the local socket failure's errno
};

using SessionOutcome = std::variant<SessionStart, HandshakeFailure>;

// Sends an initiation, and a fresh one each second no authenticated response
// has come; answers each of the first few cookie replies with one forced
// initiation; ends at the first handshake response (to any initiation still
// outstanding) that the tunnel accepts or rejects after authenticating it, a
// local error, or the deadline. Datagrams that do not authenticate are
// dropped. Sends the initial keepalive itself.
SessionOutcome establish_session(UdpSocket& socket, const SocketAddress& endpoint, wireguard::Tunn& tunnel,
                                 Instant handshake_deadline);

// Decides whether a decrypted inner IPv4 packet answers the request: nullopt
// to keep waiting, or the A records to report (none for an echo reply).
using InnerPacketMatch = std::function<std::optional<std::vector<Ipv4Octets>>(std::span<const std::uint8_t>)>;

// How long one exchange may last: its deadline, which limit that deadline is
// (the check's own or the overall one), and when the session stops carrying
// traffic (the protocol's reject-after time from its establishment).
struct ExchangeLimits {
    Instant deadline;
    ExchangeOutcome::Limit kind = ExchangeOutcome::Limit::check_deadline;
    Instant session_expiry;
};

// Encrypts and sends `inner_packet`, then waits until `match` accepts a
// decrypted packet or the earlier of the deadline and the session's expiry
// passes, answering protocol packets the tunnel wants sent on the way and
// dropping datagrams that do not decapsulate. A late answer to a resent
// initiation moves the tunnel to the session the peer keeps; the packet is
// then sent again on it.
ExchangeOutcome exchange(UdpSocket& socket, const SocketAddress& endpoint, wireguard::Tunn& tunnel,
                         std::span<const std::uint8_t> inner_packet, const ExchangeLimits& limits,
                         const InnerPacketMatch& match);

}  // namespace quorlin
