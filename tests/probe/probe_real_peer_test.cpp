// The whole probe against a real WireGuard peer (wireguard-go with dnsmasq,
// alone in a network namespace): every phase, every byte count and every
// detail, for literal IPv4 and IPv6 endpoints, a host name and a preshared
// key; a preshared key that does not fit; checks that fail beside checks that
// pass; and an overall deadline that runs out in the middle of the checks.

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "config/keys.hpp"
#include "packet/dns.hpp"
#include "packet/icmp.hpp"
#include "peer/netns_guard.hpp"
#include "peer/peer_harness.hpp"
#include "probe/probe.hpp"
#include "probe/probe_test_support.hpp"

namespace quorlin {
namespace {

using namespace probe_testing;
using peer::PeerInfo;
using peer::PeerOptions;
using peer::RealPeer;

const std::uint64_t ping_datagram = transport_bytes(icmp_echo_request_bytes);

// A tunnel address on the peer's network where no host answers.
constexpr const char* unanswered_target = "10.99.0.77";

// The records the main runs ask for, as dnsmasq is told them.
PeerOptions options_with_records(bool preshared_key) {
    return PeerOptions{
        .preshared_key = preshared_key,
        .records = {{"a.probe.test", "192.0.2.33"}, {"b.probe.test", "198.51.100.7"}, {"b.probe.test", "198.51.100.8"}},
    };
}

std::optional<RealPeer> start_peer(const PeerOptions& options) {
    auto started = RealPeer::start(options);
    if (!started) {
        ADD_FAILURE() << started.error();
        return std::nullopt;
    }
    return std::move(*started);
}

// The peer's description turned into a plan: its keys, the client address,
// the peer's tunnel network as AllowedIPs and dnsmasq as DNS server.
ProbePlan plan_for_peer(const PeerInfo& info, std::string endpoint) {
    auto private_key = parse_private_key(info.client_private_key);
    EXPECT_TRUE(private_key) << info.client_private_key;
    const auto peer_public = peer::decode_key(info.peer_public_key);
    EXPECT_TRUE(peer_public) << info.peer_public_key;
    ProbePlan plan(ProbeConfig(std::move(private_key.value()), peer_public.value_or(PublicKey{}), std::move(endpoint)));
    if (info.preshared_key) {
        const auto preshared = peer::decode_key(*info.preshared_key);
        EXPECT_TRUE(preshared);
        plan.config.preshared_key = PresharedKey(std::span<const std::uint8_t, 32>(preshared.value_or(PublicKey{})));
    }
    add_data_config(plan, info.client_address, info.tunnel_address, info.dns_address);
    plan.handshake_timeout = Duration::from_millis(10'000);
    plan.ping_timeout = Duration::from_millis(10'000);
    plan.dns_timeout = Duration::from_millis(10'000);
    plan.overall_deadline = Duration::from_millis(60'000);
    return plan;
}

struct Run {
    ProbeReport report;
    std::vector<ProbeEvent> events;
};

// Probes from a thread inside the peer's namespace, with its hosts file.
std::optional<Run> probe_inside(const RealPeer& peer, ProbePlan plan) {
    std::optional<Run> run;
    auto done = peer::run_in_peer_namespace(peer.info().namespace_name, [&] {
        std::vector<ProbeEvent> events;
        ProbeReport report = probe(std::move(plan), [&events](ProbeEvent e) { events.push_back(std::move(e)); });
        run.emplace(Run{std::move(report), std::move(events)});
    });
    if (!done) ADD_FAILURE() << done.error();
    return run;
}

std::uint64_t dns_request_bytes(const std::string& name) {
    const auto query = dns_query({10, 0, 0, 2}, {10, 0, 0, 1}, 40000, 1, 1, name);
    EXPECT_TRUE(query);
    return transport_bytes(query ? query->size() : 0);
}

// Every phase that was started is announced with the target known then and
// finished with a copy of what was recorded; skipped checks only finish.
void expect_events_follow_phases(const Run& run, const std::vector<std::optional<std::string>>& started_targets) {
    const auto& phases = run.report.phases;
    ASSERT_EQ(started_targets.size(), phases.size());
    std::size_t e = 0;
    std::uint64_t last_elapsed = 0;
    for (std::size_t i = 0; i < phases.size(); ++i) {
        SCOPED_TRACE(describe(phases[i]));
        if (phases[i].status != PhaseStatus::skipped) {
            ASSERT_LT(e, run.events.size());
            const ProbeEvent& started = run.events[e++];
            EXPECT_EQ(started.kind, ProbeEventKind::started);
            EXPECT_EQ(started.phase, phases[i].phase);
            EXPECT_EQ(started.target, started_targets[i]);
            EXPECT_GE(started.elapsed_ms, last_elapsed);
            last_elapsed = started.elapsed_ms;
        }
        ASSERT_LT(e, run.events.size());
        const ProbeEvent& finished = run.events[e++];
        EXPECT_EQ(finished.kind, ProbeEventKind::finished);
        EXPECT_EQ(finished.target, phases[i].target);
        EXPECT_EQ(finished.result, phases[i]);
        EXPECT_GE(finished.elapsed_ms, last_elapsed);
        last_elapsed = finished.elapsed_ms;
    }
    EXPECT_EQ(e, run.events.size()) << "events beyond the recorded phases";
}

enum class EndpointForm { ipv4, ipv6, host_name };

struct FullRunCase {
    const char* name;
    bool preshared_key;
    EndpointForm form;
};

void PrintTo(const FullRunCase& c, std::ostream* out) { *out << c.name; }

class ProbeAgainstRealPeer : public testing::TestWithParam<FullRunCase> {};

// Two pings to the peer's tunnel address and two names: everything passes,
// and the report says exactly what went over the wire.
TEST_P(ProbeAgainstRealPeer, ConfirmsTheDataPlane) {
    QUORLIN_SKIP_WITHOUT_PEER();
    const FullRunCase& c = GetParam();
    auto peer = start_peer(options_with_records(c.preshared_key));
    ASSERT_TRUE(peer);
    const PeerInfo& info = peer->info();
    std::string endpoint = info.endpoint_ipv4;
    if (c.form == EndpointForm::ipv6) {
        ASSERT_TRUE(info.endpoint_ipv6) << "the peer's namespace has no IPv6 loopback";
        endpoint = *info.endpoint_ipv6;
    } else if (c.form == EndpointForm::host_name) {
        endpoint = info.endpoint_host;
    }
    ProbePlan plan = plan_for_peer(info, endpoint);
    plan.ping = {ipv4(info.peer_tunnel_ip), ipv4(info.peer_tunnel_ip)};
    plan.resolve = {"a.probe.test", "b.probe.test"};

    const auto run = probe_inside(*peer, std::move(plan));
    ASSERT_TRUE(run);
    const ProbeReport& report = run->report;
    ASSERT_EQ(verdict_text(report.verdict), "data_plane_confirmed")
        << describe(report) << peer->log_tail("wireguard-go") << peer->log_tail("dnsmasq");

    ASSERT_TRUE(report.resolved_endpoint);
    const std::string resolved = report.resolved_endpoint->to_text();
    if (c.form == EndpointForm::host_name) {
        // The hosts file names both loopback addresses; either may come first.
        EXPECT_TRUE(resolved == info.endpoint_ipv4 || resolved == info.endpoint_ipv6) << resolved;
    } else {
        EXPECT_EQ(resolved, endpoint);
    }
    ASSERT_TRUE(report.local_udp_address);
    const std::string local = report.local_udp_address->to_text();
    EXPECT_EQ(report.local_udp_address->is_ipv4(), report.resolved_endpoint->is_ipv4()) << local;
    EXPECT_EQ(local.rfind(report.resolved_endpoint->is_ipv4() ? "127.0.0.1:" : "[::1]:", 0), 0u) << local;

    const std::string dns = *info.dns_address;
    expect_phases(report, {
        {"endpoint_resolution", resolved, PhaseStatus::passed, std::nullopt, 0, 0},
        {"socket", local, PhaseStatus::passed, "single connected UDP socket", 0, 0},
        {"handshake", resolved, PhaseStatus::passed, "authenticated WireGuard response", 148, 92},
        {"keepalive", resolved, PhaseStatus::sent, "initial encrypted keepalive sent; no acknowledgement expected", 32, 0},
        {"ping", info.peer_tunnel_ip, PhaseStatus::passed, "valid matching reply", ping_datagram, ping_datagram},
        {"ping", info.peer_tunnel_ip, PhaseStatus::passed, "valid matching reply", ping_datagram, ping_datagram},
        {"dns", "a.probe.test via " + dns, PhaseStatus::passed, "valid DNS response; A records: 192.0.2.33",
         dns_request_bytes("a.probe.test")},
        {"dns", "b.probe.test via " + dns, PhaseStatus::passed,
         "valid DNS response; A records: 198.51.100.7, 198.51.100.8", dns_request_bytes("b.probe.test")},
    });
    for (std::size_t i = 6; i < report.phases.size(); ++i) {
        // One transport message each way: header and tag around a padded packet.
        const std::uint64_t received = report.phases[i].received_bytes;
        EXPECT_TRUE(received >= 32 && received % 16 == 0) << describe(report.phases[i]);
    }
    expect_totals_are_phase_sums(report);
    EXPECT_EQ(report.endpoint, endpoint);
    EXPECT_EQ(report.client_public_key, info.client_public_key);
    expect_events_follow_phases(*run, {endpoint, resolved, resolved, resolved, info.peer_tunnel_ip,
                                       info.peer_tunnel_ip, "a.probe.test via " + dns, "b.probe.test via " + dns});
}

INSTANTIATE_TEST_SUITE_P(Endpoints, ProbeAgainstRealPeer,
                         testing::Values(FullRunCase{"Ipv4Literal", false, EndpointForm::ipv4},
                                         FullRunCase{"Ipv4LiteralWithPresharedKey", true, EndpointForm::ipv4},
                                         FullRunCase{"HostName", false, EndpointForm::host_name},
                                         FullRunCase{"BracketedIpv6Literal", false, EndpointForm::ipv6}),
                         [](const testing::TestParamInfo<FullRunCase>& p) { return std::string(p.param.name); });

// The preshared key enters only the response: the peer answers, the answer
// fails its tag, and the checks are skipped.
TEST(ProbeAgainstRealPeerKeys, PresharedKeyThatDoesNotFit) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto peer = start_peer({.preshared_key = true, .dns = false});
    ASSERT_TRUE(peer);
    const PeerInfo& info = peer->info();
    ProbePlan plan = plan_for_peer(info, info.endpoint_ipv4);
    plan.config.preshared_key = PresharedKey(std::span<const std::uint8_t, 32>(random_bytes32()));
    plan.ping = {ipv4(info.peer_tunnel_ip)};
    plan.resolve = {"a.probe.test"};
    plan.dns_server = ipv4(info.peer_tunnel_ip);  // nothing answers there; the check is skipped anyway

    const auto run = probe_inside(*peer, std::move(plan));
    ASSERT_TRUE(run);
    const ProbeReport& report = run->report;
    ASSERT_GE(report.phases.size(), 2u) << describe(report);
    const std::string local = report.local_udp_address ? report.local_udp_address->to_text() : "";
    const std::string skipped = "skipped because authentication was not confirmed";
    expect_phases(report, {
        {"endpoint_resolution", info.endpoint_ipv4, PhaseStatus::passed, std::nullopt, 0, 0},
        {"socket", local, PhaseStatus::passed, "single connected UDP socket", 0, 0},
        {"handshake", info.endpoint_ipv4, PhaseStatus::unconfirmed, "WireGuard protocol error: InvalidAeadTag", 148, 92},
        {"ping", info.peer_tunnel_ip, PhaseStatus::skipped, skipped, 0, 0},
        {"dns", "a.probe.test", PhaseStatus::skipped, skipped, 0, 0},
    });
    EXPECT_EQ(verdict_text(report.verdict), "unconfirmed");
    expect_events_follow_phases(*run, {info.endpoint_ipv4, info.endpoint_ipv4, info.endpoint_ipv4, std::nullopt,
                                       std::nullopt});
}

// A check that gets no answer does not hold back the next: one passing check
// is enough. A name without A records, or one that does not exist, still
// gets a valid answer, with no addresses.
TEST(ProbeAgainstRealPeerChecks, ChecksAreIndependent) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto peer = start_peer({});
    ASSERT_TRUE(peer);
    const PeerInfo& info = peer->info();
    ProbePlan plan = plan_for_peer(info, info.endpoint_ipv4);
    plan.ping = {ipv4(unanswered_target), ipv4(info.peer_tunnel_ip)};
    plan.resolve = {"empty.quorlin.test", "nx.quorlin.test"};
    plan.ping_timeout = Duration::from_millis(500);  // tries every 100 ms

    const auto run = probe_inside(*peer, std::move(plan));
    ASSERT_TRUE(run);
    const ProbeReport& report = run->report;
    ASSERT_EQ(report.phases.size(), 8u) << describe(report);
    const std::string dns = *info.dns_address;
    const std::vector<PhaseResult> checks(report.phases.begin() + 4, report.phases.end());
    const std::vector<Expected> expected = {
        {"ping", unanswered_target, PhaseStatus::unconfirmed, "no valid matching reply before the check deadline",
         5 * ping_datagram},
        {"ping", info.peer_tunnel_ip, PhaseStatus::passed, "valid matching reply", ping_datagram, ping_datagram},
        {"dns", "empty.quorlin.test via " + dns, PhaseStatus::passed, "valid DNS response; A records: none"},
        {"dns", "nx.quorlin.test via " + dns, PhaseStatus::passed, "valid DNS response; A records: none"},
    };
    ProbeReport tail = report;
    tail.phases = checks;
    expect_phases(tail, expected);
    EXPECT_EQ(verdict_text(report.verdict), "data_plane_confirmed") << describe(report);
    expect_totals_are_phase_sums(report);
}

// Once the overall deadline has passed, the checks still to come are
// recorded at once as unconfirmed, with nothing sent or received, and say so:
// neither the check cut short nor those never sent blame their own deadline.
TEST(ProbeAgainstRealPeerChecks, OverallDeadlineEndsTheRemainingChecksAtOnce) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto peer = start_peer(options_with_records(false));
    ASSERT_TRUE(peer);
    const PeerInfo& info = peer->info();
    ProbePlan plan = plan_for_peer(info, info.endpoint_ipv4);
    plan.ping = {ipv4(unanswered_target), ipv4(info.peer_tunnel_ip)};
    plan.resolve = {"a.probe.test"};
    constexpr std::uint64_t overall_ms = 1500;
    plan.overall_deadline = Duration::from_millis(overall_ms);

    const auto run = probe_inside(*peer, std::move(plan));
    ASSERT_TRUE(run);
    const ProbeReport& report = run->report;
    ASSERT_EQ(report.phases.size(), 7u) << describe(report);
    const std::string cut_short = "no valid matching reply before the overall deadline";
    const std::string not_sent = "not sent: the overall deadline had passed";
    ProbeReport tail = report;
    tail.phases.erase(tail.phases.begin(), tail.phases.begin() + 2);
    expect_phases(tail, {
        {"handshake", info.endpoint_ipv4, PhaseStatus::passed, "authenticated WireGuard response", 148, 92},
        {"keepalive", info.endpoint_ipv4, PhaseStatus::sent,
         "initial encrypted keepalive sent; no acknowledgement expected", 32, 0},
        // a try every 2 s of its 10 s limit: only the first before the deadline
        {"ping", unanswered_target, PhaseStatus::unconfirmed, cut_short, ping_datagram},
        {"ping", info.peer_tunnel_ip, PhaseStatus::unconfirmed, not_sent, 0, 0},
        {"dns", "a.probe.test via " + *info.dns_address, PhaseStatus::unconfirmed, not_sent, 0, 0},
    });
    EXPECT_EQ(verdict_text(report.verdict), "authentication_confirmed");
    // The first check waited until the overall deadline; the bound only
    // catches a run that did not stop there.
    EXPECT_GE(report.duration_ms, overall_ms);
    EXPECT_LT(report.duration_ms, overall_ms + 10'000);
}

}  // namespace
}  // namespace quorlin
