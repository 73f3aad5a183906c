// The session over the probe socket, driven directly: what the handshake and
// the encrypted exchange do at their edges (a deadline already gone, an
// initiation still outstanding, a reply that fails its tag, a peer whose port
// closes after the handshake).

#include "probe/session.hpp"
#include "probe/data_checks.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "common/os_error.hpp"
#include "packet/icmp.hpp"
#include "probe/probe_test_support.hpp"

namespace quorlin {
namespace {

using namespace probe_testing;

const Ipv4Octets client_ip{10, 0, 0, 2};
const Ipv4Octets peer_ip{10, 0, 0, 1};
constexpr std::uint16_t echo_identifier = 0x4242;
const std::uint64_t ping_datagram = transport_bytes(icmp_echo_request_bytes);

std::vector<std::uint8_t> echo_request() { return icmp_echo_request(client_ip, peer_ip, 7, echo_identifier, 0); }

const ExchangeRequest echo = same_packet_request(
    echo_request(), [](std::span<const std::uint8_t> packet) -> std::optional<ExchangeRequest::Answer> {
        if (is_icmp_echo_reply(packet, peer_ip, client_ip, echo_identifier, 0)) return ExchangeRequest::Answer{};
        return std::nullopt;
    });

// The prober's side of one session: socket and tunnel, as the sequence holds them.
struct Prober {
    UdpSocket socket;
    SocketAddress endpoint;
    wireguard::Tunn tunnel;

    static Prober to(const SocketAddress& endpoint, const KeyPair& client, const PublicKey& peer_public) {
        auto socket = open_probe_socket(endpoint);
        if (!socket) throw std::runtime_error(os_error_text(socket.error()));
        return Prober{std::move(*socket), endpoint,
                      wireguard::Tunn(client.private_key.bytes(), peer_public, std::nullopt, std::nullopt,
                                      random_u32())};
    }
    SessionOutcome handshake(Instant deadline) { return establish_session(socket, endpoint, tunnel, deadline); }
};

std::string describe(const SessionOutcome& outcome) {
    if (const auto* failure = std::get_if<HandshakeFailure>(&outcome)) {
        return "failure (" + std::string(status_text(failure->status)) + "): " + failure->message;
    }
    return "session";
}

std::string describe(const ExchangeOutcome& outcome) {
    std::string text = outcome.is_matched() ? "matched" : "no match";
    if (const auto* error = std::get_if<ExchangeOutcome::Error>(&outcome.result)) text = "error: " + error->message;
    return text + ", sent " + std::to_string(outcome.sent_bytes) + ", received " + std::to_string(outcome.received_bytes);
}

// A handshake whose deadline has passed sends nothing, though the tunnel has
// made its initiation; while that one is outstanding an unforced call gives
// none, which the handshake reports with its quoted reason. Neither sends.
// (An exchange past its deadline is the real-peer overall-deadline test's.)
TEST(SessionHandshake, PassedDeadlineThenOutstandingInitiation) {
    const KeyPair client = random_key_pair();
    const KeyPair peer = random_key_pair();
    auto silent = peer::ScriptedPeer::open(AF_INET);
    ASSERT_TRUE(silent) << silent.error();
    Prober prober = Prober::to(silent->address(), client, peer.public_key);

    const struct {
        Instant deadline;
        std::string message;
    } attempts[] = {
        {Clock::now() - std::chrono::milliseconds(1), "no authenticated response before the handshake deadline"},
        {Clock::now() + std::chrono::seconds(10), R"(WireGuard protocol error: "no handshake initiation was produced")"},
    };
    for (const auto& attempt : attempts) {
        const SessionOutcome outcome = prober.handshake(attempt.deadline);
        const auto* failure = std::get_if<HandshakeFailure>(&outcome);
        ASSERT_NE(failure, nullptr);
        EXPECT_EQ(failure->message, attempt.message);
        EXPECT_EQ(failure->status, PhaseStatus::unconfirmed);
        EXPECT_EQ(failure->sent_bytes, 0u);
        EXPECT_EQ(failure->received_bytes, 0u);
    }
    EXPECT_TRUE(silent->drain().empty()) << "an initiation went out";
}

ExchangeLimits limits_within(Clock::duration span, Instant session_expiry = Instant::max()) {
    return ExchangeLimits{Clock::now() + span, ExchangeOutcome::Limit::check_deadline, session_expiry};
}

// What the peer side does during an exchange, and what the exchange makes of
// it: datagrams that do not decapsulate are dropped and the wait goes on; a
// failure of our own socket ends it; an expired session sends nothing.
TEST(SessionExchange, DropsWhatDoesNotDecapsulateAndEndsOnlyByReplyLimitOrLocalError) {
    struct Case {
        const char* name;
        // After the handshake, before the request goes, on the test's thread.
        std::function<void(ScriptedResponder&)> before;
        // While the prober waits for its reply.
        std::function<void(ScriptedResponder&)> during;
        ExchangeLimits limits;
        ExchangeOutcome expected;
    };
    const auto reply_after = [](std::function<void(ScriptedResponder&, const std::vector<std::uint8_t>&)> first) {
        return [first](ScriptedResponder& p) {
            auto request = p.next_inner();
            ASSERT_TRUE(request);
            const auto reply = ScriptedResponder::copy(p.seal(echo_reply_for(*request)));
            first(p, reply);
            p.send(reply);
        };
    };
    const Case cases[] = {
        {"reply with a broken tag, then the reply", [](ScriptedResponder&) {},
         reply_after([](ScriptedResponder& p, const std::vector<std::uint8_t>& reply) {
             auto broken = reply;
             broken.back() ^= 0x01;
             p.send(broken);
         }),
         limits_within(std::chrono::seconds(10)), ExchangeOutcome::matched({}, ping_datagram, 2 * ping_datagram)},
        {"junk, then the reply (sent twice)", [](ScriptedResponder&) {},
         reply_after([](ScriptedResponder& p, const std::vector<std::uint8_t>& reply) {
             p.send(std::vector<std::uint8_t>(37, 0x04));
             p.send(reply);  // the second copy, a duplicate counter, stays unread
         }),
         limits_within(std::chrono::seconds(10)), ExchangeOutcome::matched({}, ping_datagram, 37 + ping_datagram)},
        {"peer's port closed", [](ScriptedResponder& p) { p.close_socket(); }, [](ScriptedResponder&) {},
         limits_within(std::chrono::seconds(10)),
         ExchangeOutcome::error("could not receive encrypted response: Connection refused (os error 111)",
                                ping_datagram, 0)},
        {"session already expired", [](ScriptedResponder&) {}, [](ScriptedResponder&) {},
         limits_within(std::chrono::seconds(10), Clock::now()),
         ExchangeOutcome::no_match(ExchangeOutcome::Limit::session_lifetime, 0, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const KeyPair client = random_key_pair();
        const KeyPair peer = random_key_pair();
        ScriptedResponder responder(peer, client.public_key);
        Prober prober = Prober::to(responder.address(), client, peer.public_key);
        responder.run([](ScriptedResponder& p) { p.complete_handshake(); });
        const SessionOutcome session = prober.handshake(Clock::now() + std::chrono::seconds(10));
        responder.join();
        ASSERT_TRUE(std::holds_alternative<SessionStart>(session)) << describe(session);

        c.before(responder);
        responder.run(c.during);
        ExchangeOutcome outcome = exchange(prober.socket, prober.endpoint, prober.tunnel, echo, c.limits);
        responder.join();
        if (auto* matched = std::get_if<ExchangeOutcome::Matched>(&outcome.result)) matched->round_trip = {};
        EXPECT_EQ(outcome, c.expected) << describe(outcome);
    }
}

// When a single-answer check sends again: five tries evenly within its
// limit, never sooner than an answer to the last try could be back.
TEST(DataCheckRetry, FiveTriesWithinTheLimitNotBeforeAnAnswerCouldCome) {
    using std::chrono::milliseconds;
    const struct {
        milliseconds round_trip;
        std::uint64_t limit_ms;
        milliseconds interval;
    } cases[] = {
        {milliseconds(1), 1000, milliseconds(200)},     // the default ping limit
        {milliseconds(1), 2000, milliseconds(400)},     // the default DNS limit
        {milliseconds(200), 1000, milliseconds(300)},   // 1.5 round trips
        {milliseconds(2200), 4000, milliseconds(3300)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.round_trip.count()) + " ms round trip, limit " + std::to_string(c.limit_ms));
        EXPECT_EQ(answer_retry_interval(c.round_trip, Duration::from_millis(c.limit_ms)), c.interval);
    }
}

}  // namespace
}  // namespace quorlin
