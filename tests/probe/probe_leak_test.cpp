// Many probes in one process leave nothing behind: after a few hundred runs
// with every kind of ending (a port nobody listens on, a silent peer, a plan
// that fails validation, a real peer reached by address and by host name),
// the process holds as many descriptors and threads as before. Memory is
// checked by the sanitizer build, which runs this test too.

#include <dirent.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/keys.hpp"
#include "peer/netns_guard.hpp"
#include "peer/peer_harness.hpp"
#include "probe/probe.hpp"
#include "probe/probe_test_support.hpp"
#include "probe/sweep_wait.hpp"

namespace quorlin {
namespace {

using namespace probe_testing;
using namespace std::chrono_literals;

// Entries of a /proc directory, not counting "." and "..".
std::size_t count_entries(const char* path) {
    DIR* dir = ::opendir(path);
    if (dir == nullptr) {
        ADD_FAILURE() << "cannot read " << path;
        return 0;
    }
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") ++count;
    }
    ::closedir(dir);
    return count;
}

std::size_t open_descriptors() { return count_entries("/proc/self/fd"); }
std::size_t threads() { return count_entries("/proc/self/task"); }

// Resolver threads are detached and end on their own just after answering,
// and a turn's end may start a sweep of the turn folder on a thread of its
// own: give them a moment (bounded) before counting.
std::size_t threads_settled_to(std::size_t expected) {
    sweeps_ended();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::size_t now = threads();
    while (now > expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        now = threads();
    }
    return now;
}

TEST(ProbeResources, ManyProbesLeaveNoDescriptorsOrThreadsBehind) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto started = peer::RealPeer::start();
    ASSERT_TRUE(started) << started.error();
    const peer::PeerInfo& info = started->info();
    // The whole test lives in the peer's namespace; loopback ports there are
    // the namespace's own.
    auto inside = peer::NetnsGuard::enter(info.namespace_name);
    ASSERT_TRUE(inside) << inside.error();

    auto silent = peer::ScriptedPeer::open(AF_INET);
    ASSERT_TRUE(silent) << silent.error();
    const std::string closed = closed_loopback_endpoint();
    const std::string by_name = "localhost:" + std::to_string(info.listen_port);
    const KeyPair stranger = random_key_pair();

    auto peer_plan = [&info](std::string endpoint) {
        auto private_key = parse_private_key(info.client_private_key);
        const auto peer_public = peer::decode_key(info.peer_public_key);
        ProbePlan plan(ProbeConfig(std::move(private_key.value()), peer_public.value(), std::move(endpoint)));
        add_data_config(plan, info.client_address, info.tunnel_address, info.dns_address);
        plan.handshake_timeout = plan.ping_timeout = plan.dns_timeout = Duration::from_millis(3'000);
        plan.overall_deadline = Duration::from_millis(10'000);
        // The peer ignores an initiation from one client that follows its
        // last one too closely: the key's turn spaces them from the end of
        // the last probe, whatever that probe's handshake took.
        plan.take_key_turn = true;
        return plan;
    };

    struct Kind {
        const char* name;
        std::function<ProbePlan()> plan;
        Verdict verdict;
    };
    const Kind kinds[] = {
        {"closed port", [&] { return plan_for(stranger.private_key, stranger.public_key, closed); },
         Verdict::local_error},
        {"silent peer",
         [&] { return plan_for(stranger.private_key, stranger.public_key, silent->endpoint_text(), Duration::from_millis(20)); },
         Verdict::unconfirmed},
        {"invalid plan",
         [&] {
             ProbePlan plan = plan_for(stranger.private_key, stranger.public_key, closed);
             plan.resolve.push_back("nowhere.test");
             return plan;
         },
         Verdict::local_error},
        {"real peer",
         [&] {
             ProbePlan plan = peer_plan(info.endpoint_ipv4);
             plan.ping = {ipv4(info.peer_tunnel_ip)};
             plan.resolve = {"ok.quorlin.test"};
             return plan;
         },
         Verdict::data_plane_confirmed},
        {"real peer by host name", [&] { return peer_plan(by_name); }, Verdict::authentication_confirmed},
    };

    auto run_all = [&]() -> bool {
        for (const Kind& kind : kinds) {
            const ProbeReport report = probe(kind.plan(), {});
            silent->drain();
            if (report.verdict != kind.verdict) {
                ADD_FAILURE() << kind.name << ": " << describe(report) << started->log_tail("wireguard-go", 1500);
                return false;
            }
        }
        return true;
    };

    // One round first, so that one-time setup (libraries, caches) is not
    // mistaken for a leak.
    ASSERT_TRUE(run_all());
    sweeps_ended();
    const std::size_t descriptors_before = open_descriptors();
    const std::size_t threads_before = threads_settled_to(threads());

    constexpr int rounds = 60;  // five probes each
    for (int i = 0; i < rounds; ++i) ASSERT_TRUE(run_all()) << "round " << i;

    EXPECT_EQ(threads_settled_to(threads_before), threads_before);  // sweeps ended first
    EXPECT_EQ(open_descriptors(), descriptors_before);
}

}  // namespace
}  // namespace quorlin
