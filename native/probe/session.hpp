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
#include <expected>
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
    // From the sending of the initiation that was answered to the response:
    // the path's round trip, whatever earlier initiations were lost.
    Clock::duration round_trip{};
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

// What one check sends and accepts, try by try.
struct ExchangeRequest {
    // The inner IPv4 packet of try `index` (0 for the first).
    std::function<std::vector<std::uint8_t>(std::uint32_t index)> packet;
    // Whether a decrypted inner packet answers one of the first `tries` tries:
    // nullopt to keep waiting; else the A records to report (none for an
    // echo reply) and, when the reply tells, which try it answers.
    struct Answer {
        std::vector<Ipv4Octets> a_records;
        std::optional<std::uint32_t> answered_try;
        std::optional<std::uint8_t> dns_response_code;
        bool refused = false;  // a TCP reset
    };
    std::function<std::optional<Answer>(std::span<const std::uint8_t>, std::uint32_t tries)> match;
};

// The same inner packet for every try, for a request whose answer matches
// whichever try it came for (a DNS query keeps its id and source port).
ExchangeRequest same_packet_request(
    std::vector<std::uint8_t> packet,
    std::function<std::optional<ExchangeRequest::Answer>(std::span<const std::uint8_t>)> match);

// How long one exchange may last, and when it sends again.
struct ExchangeLimits {
    // The wait's end as the check starts, and which limit that is (the
    // check's own or the overall one).
    Instant deadline;
    ExchangeOutcome::Limit kind = ExchangeOutcome::Limit::check_deadline;
    // When the session stops carrying traffic (the protocol's reject-after
    // time from its establishment): the wait ends there too, and says so.
    Instant session_expiry = Instant::max();
    // When a later handshake response moves the tunnel to the session the
    // peer keeps, every try before went on a session the peer had already
    // replaced: the check begins again from then, with this limit, never past
    // the overall deadline. Zero keeps the first deadline.
    Duration check_timeout{};
    Instant overall_deadline = Instant::max();
    // Zero: one try (and one more on each new session). Otherwise the next
    // try goes out this long after the last while no answer has come.
    Clock::duration retry_interval{};
    // Each wait twice the one before, as TCP backs off its retransmissions.
    bool doubling = false;
};

// Encrypts and sends the first try, then waits until `match` accepts a
// decrypted packet or the earlier of the deadline and the session's expiry
// passes, sending the next try on the schedule, answering protocol packets the
// tunnel wants sent on the way and dropping datagrams that do not decapsulate.
// A late answer to a resent initiation moves the tunnel to the session the
// peer keeps; a try is then sent on it at once. Each answer is timed from its
// own try, or from the latest one when it does not say which (tries go out
// farther apart than the path's round trip, so that is the one); every try
// counts in the bytes sent.
ExchangeOutcome exchange(UdpSocket& socket, const SocketAddress& endpoint, wireguard::Tunn& tunnel,
                         const ExchangeRequest& request, const ExchangeLimits& limits);

}  // namespace quorlin
