// The probe sequence against peers that do on demand what a real peer will
// not: a scripted responder built on our own tunnel (cookie replies, odd
// datagrams, a forged MAC, a handshake of its own in the middle of a check,
// late replies), a socket that never answers, a port nobody listens on, and a
// plan that fails validation. None of this needs root.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

#include "config/base64_key.hpp"
#include "packet/icmp.hpp"
#include "probe/probe.hpp"
#include "probe/probe_test_support.hpp"

namespace quorlin {
namespace {

using namespace probe_testing;
using Kind = wireguard::TunnResult::Kind;

constexpr std::string_view socket_detail = "single connected UDP socket";
constexpr std::string_view handshake_detail = "authenticated WireGuard response";
constexpr std::string_view keepalive_detail = "initial encrypted keepalive sent; no acknowledgement expected";
constexpr std::string_view no_response = "no authenticated response before the handshake deadline";
constexpr std::string_view skipped = "skipped because authentication was not confirmed";
constexpr std::string_view no_match = "no valid matching reply before the check deadline";

// An ICMP echo request as the ping check sends it: the transport message size.
const std::uint64_t ping_datagram = transport_bytes(icmp_echo_request_bytes);

std::vector<std::uint8_t> filled(std::vector<std::uint8_t> head, std::size_t size) {
    head.resize(size, 0x5a);
    return head;
}

// The two phases every run that reaches the handshake begins with.
std::vector<Expected> opening(const ProbeReport& report, const std::string& endpoint) {
    std::optional<std::string> local;
    if (report.local_udp_address) local = report.local_udp_address->to_text();
    return {
        {"endpoint_resolution", endpoint, PhaseStatus::passed, std::nullopt, 0, 0},
        {"socket", local, PhaseStatus::passed, std::string(socket_detail), 0, 0},
    };
}

std::vector<Expected> operator+(std::vector<Expected> a, const std::vector<Expected>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct HandshakeCase {
    const char* name;
    bool under_load;
    std::function<void(ScriptedResponder&)> script;
    PhaseStatus status;
    std::string detail;
    std::uint64_t sent;
    std::uint64_t received;
};

void PrintTo(const HandshakeCase& c, std::ostream* out) { *out << c.name; }

class ProbeAgainstScriptedHandshake : public testing::TestWithParam<HandshakeCase> {};

TEST_P(ProbeAgainstScriptedHandshake, RecordsTheHandshakeAsTheProtocolRequires) {
    const HandshakeCase& c = GetParam();
    const KeyPair client = random_key_pair();
    const KeyPair peer = random_key_pair();
    ScriptedResponder responder(peer, client.public_key, std::nullopt,
                                c.under_load ? std::make_shared<AlwaysUnderLoad>() : nullptr);
    responder.run(c.script);
    const std::string endpoint = responder.endpoint_text();

    const ProbeReport report = probe(plan_for(client.private_key, peer.public_key, endpoint), {});
    responder.join();

    std::vector<Expected> expected = opening(report, endpoint) +
                                     std::vector<Expected>{{"handshake", endpoint, c.status, c.detail, c.sent, c.received}};
    if (c.status == PhaseStatus::passed) {
        expected.push_back({"keepalive", endpoint, PhaseStatus::sent, std::string(keepalive_detail), 32, 0});
        EXPECT_EQ(verdict_text(report.verdict), "authentication_confirmed");
    } else {
        EXPECT_EQ(verdict_text(report.verdict), "unconfirmed");
    }
    expect_phases(report, expected);
    expect_totals_are_phase_sums(report);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ProbeAgainstScriptedHandshake,
    testing::Values(
        // Under load the responder wants a cookie first: the second initiation
        // carries it and is answered.
        HandshakeCase{"CookieReplyThenResponse", true,
                      [](ScriptedResponder& peer) {
                          auto cookie_reply = peer.answer_initiation();
                          ASSERT_TRUE(cookie_reply);
                          ASSERT_EQ(cookie_reply->size(), 64u);
                          peer.send(*cookie_reply);
                          auto response = peer.answer_initiation();
                          ASSERT_TRUE(response);
                          ASSERT_EQ(response->size(), 92u);
                          peer.send(*response);
                          peer.accept_keepalive();
                      },
                      PhaseStatus::passed, std::string(handshake_detail), 296, 64 + 92},
        // Datagrams that are not a response or cookie reply by type and exact
        // size are passed over, but every byte received counts.
        HandshakeCase{"OddDatagramsAreIgnoredButCounted", false,
                      [](ScriptedResponder& peer) {
                          auto response = peer.answer_initiation();
                          ASSERT_TRUE(response);
                          peer.send(filled({3, 0, 0}, 3));
                          peer.send(filled({3, 0, 0, 0}, 63));
                          peer.send(filled({2, 0, 0, 0}, 93));
                          peer.send(filled({2, 0, 0, 1}, 92));
                          peer.send(filled({1, 0, 0, 0}, 148));
                          peer.send(filled({4, 0, 0, 0}, 48));
                          peer.send(*response);
                          peer.accept_keepalive();
                      },
                      PhaseStatus::passed, std::string(handshake_detail), 148, 3 + 63 + 93 + 92 + 148 + 48 + 92},
        // A response or cookie reply that does not authenticate is dropped,
        // as WireGuard drops it; the good one right behind it still counts.
        HandshakeCase{"ResponseWithBadMacIsDropped", false,
                      [](ScriptedResponder& peer) {
                          auto response = peer.answer_initiation();
                          ASSERT_TRUE(response);
                          auto forged = *response;
                          forged[60] ^= 0x01;  // first byte of mac1
                          peer.send(forged);
                          peer.send(*response);
                          peer.accept_keepalive();
                      },
                      PhaseStatus::passed, std::string(handshake_detail), 148, 92 + 92},
        HandshakeCase{"CookieReplyTheTunnelRejectsIsDropped", true,
                      [](ScriptedResponder& peer) {
                          auto cookie_reply = peer.answer_initiation();
                          ASSERT_TRUE(cookie_reply);
                          auto forged = *cookie_reply;
                          forged.back() ^= 0x80;  // inside the tag of the encrypted cookie
                          peer.send(forged);
                          peer.send(*cookie_reply);
                          auto response = peer.answer_initiation();
                          ASSERT_TRUE(response);
                          ASSERT_EQ(response->size(), 92u);
                          peer.send(*response);
                          peer.accept_keepalive();
                      },
                      PhaseStatus::passed, std::string(handshake_detail), 296, 64 + 64 + 92}),
    [](const testing::TestParamInfo<HandshakeCase>& p) { return std::string(p.param.name); });

// A plan that pings `targets` through a tunnel whose client address is
// 10.0.0.2 and whose peer is 10.0.0.1.
ProbePlan ping_plan(const KeyPair& client, const KeyPair& peer, const std::string& endpoint,
                    std::vector<std::string> targets, Duration ping_timeout) {
    ProbePlan plan = plan_for(client.private_key, peer.public_key, endpoint);
    add_data_config(plan, "10.0.0.2/32", "10.0.0.0/24", std::nullopt);
    for (const std::string& target : targets) plan.ping.push_back(ipv4(target));
    plan.ping_timeout = ping_timeout;
    return plan;
}

// The peer starts a handshake of its own while a ping is waiting: the prober
// answers it within the check, counts the answer as sent, and the reply that
// comes over the new session still passes the check.
TEST(ProbeAgainstScriptedPeer, AnswersAHandshakeThePeerStartsDuringACheck) {
    const KeyPair client = random_key_pair();
    const KeyPair peer = random_key_pair();
    ScriptedResponder responder(peer, client.public_key);
    responder.run([](ScriptedResponder& p) {
        ASSERT_TRUE(p.complete_handshake());
        auto request = p.next_inner();
        ASSERT_TRUE(request);
        const auto initiation = ScriptedResponder::copy(p.initiate());
        ASSERT_EQ(initiation.size(), 148u);
        p.send(initiation);
        auto answer = p.next();
        ASSERT_TRUE(answer);
        ASSERT_EQ(answer->size(), 92u) << "the prober's handshake response";
        const auto confirmation = p.open(*answer);
        ASSERT_EQ(confirmation.kind, Kind::WriteToNetwork);
        p.send(confirmation.packet);
        p.send_inner(echo_reply_for(*request));
    });
    const std::string endpoint = responder.endpoint_text();

    const ProbeReport report = probe(ping_plan(client, peer, endpoint, {"10.0.0.1"}, Duration::from_millis(5000)), {});
    responder.join();

    expect_phases(report, opening(report, endpoint) + std::vector<Expected>{
        {"handshake", endpoint, PhaseStatus::passed, std::string(handshake_detail), 148, 92},
        {"keepalive", endpoint, PhaseStatus::sent, std::string(keepalive_detail), 32, 0},
        {"ping", "10.0.0.1", PhaseStatus::passed, "valid matching reply", ping_datagram + 92,
         148 + 32 + ping_datagram},
    });
    EXPECT_EQ(verdict_text(report.verdict), "data_plane_confirmed");
    expect_totals_are_phase_sums(report);
}

// The same target twice: two checks with sequence numbers 0 and 1 and fresh
// identifiers. The first goes unanswered; its late reply, arriving during the
// second check, does not satisfy the second, but its bytes count there, as do
// a keepalive from the peer and an IPv6 packet through the tunnel.
TEST(ProbeAgainstScriptedPeer, LateReplyToAnEarlierCheckCountsButDoesNotMatch) {
    const KeyPair client = random_key_pair();
    const KeyPair peer = random_key_pair();
    ScriptedResponder responder(peer, client.public_key);
    std::vector<EchoFields> requests;
    responder.run([&requests](ScriptedResponder& p) {
        ASSERT_TRUE(p.complete_handshake());
        auto first = p.next_inner();
        ASSERT_TRUE(first);
        auto second = p.next_inner();
        ASSERT_TRUE(second);
        requests = {echo_fields(*first), echo_fields(*second)};
        p.send_inner({});  // a keepalive
        std::vector<std::uint8_t> v6(40, 0);
        v6[0] = 0x60;
        p.send_inner(v6);
        p.send_inner(echo_reply_for(*first));
        p.send_inner(echo_reply_for(*second));
    });
    const std::string endpoint = responder.endpoint_text();

    // Two echoes to one target: measuring loss, neither is sent again.
    ProbePlan plan = ping_plan(client, peer, endpoint, {"10.0.0.1"}, Duration::from_millis(300));
    plan.ping_count = 2;
    const ProbeReport report = probe(std::move(plan), {});
    responder.join();

    expect_phases(report, opening(report, endpoint) + std::vector<Expected>{
        {"handshake", endpoint, PhaseStatus::passed, std::string(handshake_detail), 148, 92},
        {"keepalive", endpoint, PhaseStatus::sent, std::string(keepalive_detail), 32, 0},
        {"ping", "10.0.0.1", PhaseStatus::unconfirmed, std::string(no_match), ping_datagram, 0},
        {"ping", "10.0.0.1", PhaseStatus::passed, "valid matching reply", ping_datagram,
         32 + transport_bytes(40) + 2 * ping_datagram},
    });
    EXPECT_EQ(verdict_text(report.verdict), "data_plane_confirmed");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].sequence, 0);
    EXPECT_EQ(requests[1].sequence, 1);
    EXPECT_FALSE(requests[0].identifier == requests[1].identifier &&
                 requests[0].ip_identification == requests[1].ip_identification)
        << "each check draws its own identifiers";
}

// A plan with one ping target and one name, so that the skipped checks show.
ProbePlan plan_with_checks(const KeyPair& client, const PublicKey& peer_public, const std::string& endpoint,
                           Duration handshake_timeout) {
    ProbePlan plan = plan_for(client.private_key, peer_public, endpoint);
    add_data_config(plan, "10.0.0.2/32", "10.0.0.0/24", "10.0.0.53");
    plan.ping.push_back(ipv4("10.0.0.1"));
    plan.resolve.push_back("Name.Example");
    plan.handshake_timeout = handshake_timeout;
    return plan;
}

const std::vector<Expected> skipped_checks = {
    {"ping", "10.0.0.1", PhaseStatus::skipped, std::string(skipped), 0, 0},
    {"dns", "Name.Example", PhaseStatus::skipped, std::string(skipped), 0, 0},
};

// A peer that reads and never answers: one initiation, never resent, and the
// handshake waits out its whole limit.
TEST(ProbeWithoutAnAnswer, SilentPeerLeavesTheHandshakeUnconfirmed) {
    const KeyPair client = random_key_pair();
    const KeyPair peer = random_key_pair();
    auto silent = peer::ScriptedPeer::open(AF_INET);
    ASSERT_TRUE(silent) << silent.error();
    const std::string endpoint = silent->endpoint_text();
    constexpr std::uint64_t limit_ms = 300;

    const ProbeReport report =
        probe(plan_with_checks(client, peer.public_key, endpoint, Duration::from_millis(limit_ms)), {});

    expect_phases(report, opening(report, endpoint) +
                              std::vector<Expected>{{"handshake", endpoint, PhaseStatus::unconfirmed,
                                                     std::string(no_response), 148, 0}} +
                              skipped_checks);
    EXPECT_EQ(verdict_text(report.verdict), "unconfirmed");
    ASSERT_GE(report.phases.size(), 3u);
    // It must not give up early; the upper bound only catches a hang.
    EXPECT_GE(report.phases[2].duration_ms, limit_ms);
    EXPECT_LT(report.phases[2].duration_ms, limit_ms + 10'000);
    const auto arrived = silent->drain();
    ASSERT_EQ(arrived.size(), 1u) << "silence is not answered by a retransmission";
    EXPECT_EQ(arrived[0].bytes.size(), 148u);
    EXPECT_EQ(arrived[0].bytes[0], 1);
}

TEST(ProbeWithoutAnAnswer, ClosedPortIsALocalError) {
    const KeyPair client = random_key_pair();
    const KeyPair peer = random_key_pair();
    const std::string endpoint = closed_loopback_endpoint();

    const ProbeReport report =
        probe(plan_with_checks(client, peer.public_key, endpoint, Duration::from_millis(10'000)), {});

    expect_phases(report, opening(report, endpoint) +
                              std::vector<Expected>{{"handshake", endpoint, PhaseStatus::error,
                                                     "local UDP error: Connection refused (os error 111)", 148, 0}} +
                              skipped_checks);
    EXPECT_EQ(verdict_text(report.verdict), "local_error");
}

// Validation comes first: one phase, nothing resolved or sent, and the
// events are exactly its start and its end.
TEST(ProbeValidation, FailureIsTheOnlyPhase) {
    const KeyPair client = random_key_pair();
    const KeyPair peer = random_key_pair();
    auto watcher = peer::ScriptedPeer::open(AF_INET);
    ASSERT_TRUE(watcher) << watcher.error();
    const std::string endpoint = watcher->endpoint_text();
    ProbePlan plan = plan_for(client.private_key, peer.public_key, endpoint);
    plan.ping.push_back(ipv4("10.0.0.1"));  // data checks without an interface address

    std::vector<ProbeEvent> events;
    const ProbeReport report = probe(std::move(plan), [&events](ProbeEvent e) { events.push_back(std::move(e)); });

    const PhaseResult expected{"validation", std::nullopt, PhaseStatus::error, 0, 0, 0,
                               "data checks require an IPv4 Interface Address (or --address)"};
    ASSERT_EQ(report.phases.size(), 1u) << describe(report);
    EXPECT_EQ(report.phases[0], expected) << describe(report.phases[0]);
    EXPECT_EQ(verdict_text(report.verdict), "local_error");
    EXPECT_EQ(report.endpoint, endpoint);
    EXPECT_EQ(report.client_public_key, encode_base64_key(client.public_key));
    EXPECT_FALSE(report.resolved_endpoint);
    EXPECT_FALSE(report.local_udp_address);
    EXPECT_EQ(report.sent_bytes, 0u);
    EXPECT_EQ(report.received_bytes, 0u);

    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, ProbeEventKind::started);
    EXPECT_EQ(events[0].phase, "validation");
    EXPECT_EQ(events[0].target, std::nullopt);
    EXPECT_EQ(events[1].kind, ProbeEventKind::finished);
    EXPECT_EQ(events[1].result, expected);
    EXPECT_TRUE(watcher->drain().empty()) << "nothing may be sent before validation passes";
}

}  // namespace
}  // namespace quorlin
