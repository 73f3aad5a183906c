// Endpoint resolution in the root namespace: literals, the refusals the
// resolver thread reports, the slot cap and the result channel. Host names are
// limited to "localhost" and numeric hosts, which never leave the machine.

#include "probe/resolve.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "probe/resolver_slot.hpp"
#include "probe/result_channel.hpp"
#include "probe/socket_address_literal.hpp"

namespace quorlin {
namespace {

using namespace std::chrono_literals;

constexpr Duration kPlentyOfTime = Duration::from_millis(10'000);

// One readable line per outcome, so table failures show what came back.
std::string describe(const ResolveOutcome& outcome) {
    if (!outcome) return "error: " + outcome.error().message;
    if (!outcome->has_value()) return "none";
    return "address " + (*outcome)->to_text();
}

std::string describe_literal(std::string_view text) {
    const auto address = parse_socket_address_literal(text);
    return address ? address->to_text() : "not a literal";
}

TEST(SocketAddressLiteral, AcceptsExactForms) {
    const struct {
        std::string_view text;
        std::string_view expected;
    } cases[] = {
        {"192.0.2.1:51820", "192.0.2.1:51820"},
        {"0.0.0.0:0", "0.0.0.0:0"},
        {"255.255.255.255:65535", "255.255.255.255:65535"},
        {"192.0.2.1:00080", "192.0.2.1:80"},
        {"[2001:db8::1]:51820", "[2001:db8::1]:51820"},
        {"[2001:DB8:0:0:0:0:0:A]:1", "[2001:db8::a]:1"},
        {"[::]:0", "[::]:0"},
        {"[::1]:65535", "[::1]:65535"},
        {"[::ffff:192.0.2.1]:7", "[::ffff:192.0.2.1]:7"},
        {"[fe80::1%3]:51820", "[fe80::1%3]:51820"},
        {"[fe80::1%0]:1", "[fe80::1]:1"},
        {"[fe80::1%4294967295]:1", "[fe80::1%4294967295]:1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe_literal(c.text), c.expected) << c.text;
    }
}

// The address forms themselves are the config address parsers' (tests/config);
// here, what surrounds them.
TEST(SocketAddressLiteral, RefusesEverythingElse) {
    using namespace std::string_view_literals;
    const std::string_view cases[] = {
        ""sv, ":80"sv, "localhost:80"sv, "192.0.2.1"sv, "192.0.2.1:"sv, "192.0.2.1:65536"sv,
        "192.0.2.1:99999999999999999999999"sv, "192.0.2.1:+80"sv, "192.0.2.1:0x50"sv, " 192.0.2.1:80"sv,
        "192.0.2.1:80 "sv, "192.0.2.1 :80"sv, "192.0.2.1:80:80"sv, "01.2.3.4:80"sv, "192.0.2.1%1:80"sv,
        "192.0.2.1\0:80"sv, "192.0.2.1:80\0"sv, "2001:db8::1:80"sv, "[2001:db8::1]"sv, "[2001:db8::1]:"sv,
        "[2001:db8::1:80"sv, "2001:db8::1]:80"sv, "[192.0.2.1]:80"sv, "[::1]:65536"sv, "[::1]80"sv,
        "[[::1]]:80"sv, "[ ::1]:80"sv, "[::1\0]:80"sv, "[fe80::1%]:1"sv, "[fe80::1%eth0]:1"sv,
        "[fe80::1%+1]:1"sv, "[fe80::1%4294967296]:1"sv, "[fe80::1%1%2]:1"sv, "[::1]:80]"sv, "[]:80"sv,
    };
    for (const auto text : cases) {
        EXPECT_EQ(describe_literal(text), "not a literal") << '"' << std::string(text) << '"';
    }
}

TEST(ResolveEndpoint, NoTimeLeftComesBeforeEverything) {
    for (const char* endpoint : {"192.0.2.1:51820", "[2001:db8::1]:1", "localhost:1", "no port at all"}) {
        EXPECT_EQ(describe(resolve_endpoint(endpoint, Duration{})),
                  "error: overall deadline expired before endpoint resolution")
            << endpoint;
    }
}

// Holds every free slot for the life of the object.
struct AllSlotsHeld {
    std::vector<ResolverSlot> slots;
    AllSlotsHeld() {
        while (auto slot = ResolverSlot::try_reserve()) slots.push_back(std::move(*slot));
    }
};

TEST(ResolveEndpoint, LiteralsNeedNoSlotButHostNamesWaitForOne) {
    AllSlotsHeld held;
    ASSERT_EQ(active_resolver_workers(), RESOLVER_WORKER_LIMIT);

    EXPECT_EQ(describe(resolve_endpoint("192.0.2.7:51820", kPlentyOfTime)), "address 192.0.2.7:51820");
    EXPECT_EQ(describe(resolve_endpoint("[fe80::1%2]:9", kPlentyOfTime)), "address [fe80::1%2]:9");
    // Even refusals found on the resolver thread wait for a slot, until the
    // overall deadline.
    for (const char* endpoint : {"localhost:51820", "localhost", ""}) {
        EXPECT_EQ(describe(resolve_endpoint(endpoint, Duration::from_millis(50))),
                  "error: endpoint resolver capacity exhausted (4 workers)")
            << endpoint;
    }
    EXPECT_EQ(active_resolver_workers(), RESOLVER_WORKER_LIMIT);

    // A slot given back while a caller waits is taken by that caller.
    std::thread release_one([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        held.slots.pop_back();
    });
    const auto outcome = resolve_endpoint("localhost:+80", kPlentyOfTime);
    release_one.join();
    EXPECT_TRUE(describe(outcome).starts_with("address ")) << describe(outcome);
    EXPECT_EQ(active_resolver_workers(), RESOLVER_WORKER_LIMIT - 1);
}

TEST(ResolveEndpoint, RefusalsFromTheResolverThread) {
    const struct {
        std::string endpoint;
        std::string expected;
    } cases[] = {
        {"", "error: invalid socket address"},
        {"localhost", "error: invalid socket address"},
        {"localhost:", "error: invalid port value"},
        {"localhost:65536", "error: invalid port value"},
        {"localhost:99999999999999999999", "error: invalid port value"},
        {"localhost:+", "error: invalid port value"},
        {"localhost:-1", "error: invalid port value"},
        {"localhost:0x50", "error: invalid port value"},
        {"localhost: 80", "error: invalid port value"},
        {"localhost:80 ", "error: invalid port value"},
        {"[::1]:", "error: invalid port value"},
        {std::string("localhost:8\0", 12), "error: invalid port value"},
        {std::string("local\0host:80", 13), "error: file name contained an unexpected NUL byte"},
        {std::string("\0:80", 4), "error: file name contained an unexpected NUL byte"},
    };
    const auto before = active_resolver_workers();
    for (const auto& c : cases) {
        EXPECT_EQ(describe(resolve_endpoint(c.endpoint, kPlentyOfTime)), c.expected) << '"' << c.endpoint << '"';
        // The thread frees its slot before handing the outcome over.
        EXPECT_EQ(active_resolver_workers(), before) << c.endpoint;
    }
}

TEST(ResolveEndpoint, LooksUpHostsThatStayOnThisMachine) {
    const auto before = active_resolver_workers();
    // Split at the last ':', so an unbracketed IPv6 host still works here.
    EXPECT_EQ(describe(resolve_endpoint("::1:80", kPlentyOfTime)), "address [::1]:80");
    EXPECT_EQ(describe(resolve_endpoint("127.0.0.1:+0", kPlentyOfTime)), "address 127.0.0.1:0");

    const auto localhost = resolve_endpoint("localhost:51820", kPlentyOfTime);
    ASSERT_TRUE(localhost && localhost->has_value()) << describe(localhost);
    const auto text = (*localhost)->to_text();
    EXPECT_TRUE(text == "127.0.0.1:51820" || text == "[::1]:51820") << text;
    EXPECT_EQ(active_resolver_workers(), before);
}

TEST(ResolverSlot, CapsReservationsAndReleasesEachOnce) {
    const auto before = active_resolver_workers();
    {
        AllSlotsHeld held;
        ASSERT_EQ(held.slots.size(), RESOLVER_WORKER_LIMIT - before);
        EXPECT_FALSE(ResolverSlot::try_reserve());

        // Moving hands the slot over without releasing it.
        ResolverSlot moved = std::move(held.slots.back());
        held.slots.pop_back();
        EXPECT_EQ(active_resolver_workers(), RESOLVER_WORKER_LIMIT);
        // Assigning over a held slot releases the one it replaces.
        held.slots.front() = std::move(moved);
        EXPECT_EQ(active_resolver_workers(), RESOLVER_WORKER_LIMIT - 1);
        moved.release();  // moved-from: nothing to give back
        EXPECT_EQ(active_resolver_workers(), RESOLVER_WORKER_LIMIT - 1);
    }
    EXPECT_EQ(active_resolver_workers(), before);
}

TEST(ResolverSlot, NeverExceedsTheLimitUnderContention) {
    const auto before = active_resolver_workers();
    std::atomic<std::uint64_t> holding{0};
    std::atomic<std::uint64_t> most{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                auto slot = ResolverSlot::try_reserve();
                if (!slot) continue;
                const auto now = holding.fetch_add(1) + 1;
                auto seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                holding.fetch_sub(1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_LE(most.load() + before, RESOLVER_WORKER_LIMIT);
    EXPECT_EQ(active_resolver_workers(), before);
}

TEST(ResultChannel, EndsWithValueTimeoutOrGoneSender) {
    const auto far = Clock::now() + 10s;
    {
        auto [sender, receiver] = make_result_channel<std::string>();
        EXPECT_TRUE(sender.send("first"));
        EXPECT_FALSE(sender.send("second"));  // room for one only
        EXPECT_EQ(receiver.receive_until(far).value_or("?"), "first");
    }
    {
        auto [sender, receiver] = make_result_channel<std::string>();
        const auto outcome = receiver.receive_until(Clock::now() + 20ms);
        ASSERT_FALSE(outcome);
        EXPECT_EQ(outcome.error(), ReceiveFailure::timed_out);
    }
    {
        auto [sender, receiver] = make_result_channel<std::string>();
        { auto gone = std::move(sender); }
        const auto outcome = receiver.receive_until(far);
        ASSERT_FALSE(outcome);
        EXPECT_EQ(outcome.error(), ReceiveFailure::sender_gone);
    }
    {
        // A value that arrived is returned even when the deadline has passed.
        auto [sender, receiver] = make_result_channel<std::string>();
        ASSERT_TRUE(sender.send("late reader"));
        EXPECT_EQ(receiver.receive_until(Clock::now() - 1s).value_or("?"), "late reader");
    }
}

}  // namespace
}  // namespace quorlin
