#include "probe/plan.hpp"
#include "probe/plan_deadline.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

namespace quorlin {
namespace {

Ipv4Address ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) { return Ipv4Address{{a, b, c, d}}; }

Ipv4Cidr cidr(Ipv4Address address, std::uint8_t prefix_len) { return Ipv4Cidr{address, prefix_len}; }

// Any valid key: the private key is clamped, and as the peer key this one
// (u = 9, the base point) has full order.
const std::string any_key = "CQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

// A plan with one-second limits and a configuration without address,
// DNS servers or AllowedIPs.
ProbePlan bare_plan() {
    auto config = ProbeConfig::from_parts(any_key, any_key, "192.0.2.1:51820");
    EXPECT_TRUE(config.has_value());
    ProbePlan plan(std::move(*config));
    plan.handshake_timeout = Duration::from_millis(1000);
    plan.ping_timeout = Duration::from_millis(1000);
    plan.dns_timeout = Duration::from_millis(1000);
    plan.overall_deadline = Duration::from_millis(1000);
    return plan;
}

Ipv6Address ip6(std::string_view text) { return *parse_ipv6_address(text); }

// Interface fd00:8::2/128, AllowedIPs fd00:8::/64.
void with_ipv6_side(ProbePlan& plan) {
    plan.config.address6 = Ipv6Cidr{ip6("fd00:8::2"), 128};
    plan.config.allowed_ips6 = {Ipv6Cidr{ip6("fd00:8::"), 64}};
}

// Interface 10.0.0.2/32, AllowedIPs 10.0.0.0/24, configuration DNS 10.0.0.53.
ProbePlan data_plan() {
    ProbePlan plan = bare_plan();
    plan.config.set_data_config(cidr(ip(10, 0, 0, 2), 32), {ip(10, 0, 0, 53)}, {cidr(ip(10, 0, 0, 0), 24)});
    return plan;
}

TEST(ProbePlanValidate, FirstFailingCheckWins) {
    struct Case {
        const char* what;
        bool data_config;  // start from data_plan() rather than bare_plan()
        std::function<void(ProbePlan&)> change;
        std::string expected;  // empty: valid
    };
    const std::string unrepresentable = "timeouts and the overall deadline must be representable by the system clock";
    const std::string no_dns = "DNS checks require an IPv4 Interface DNS server or --dns-server";
    const auto allowed_24 = [](ProbePlan& p) {
        p.config.set_data_config(cidr(ip(10, 0, 0, 2), 32), {}, {cidr(ip(10, 0, 0, 0), 24)});
    };
    const Case cases[] = {
        {"no data checks need no address or AllowedIPs", false, [](ProbePlan&) {}, ""},
        {"a peer key of small order can never complete a handshake", true,
         [](ProbePlan& p) {
             p.config.peer_public_key = {};
             p.resolve = {"a..b"};
         },
         "Peer PublicKey (or --peer-key) is a low-order point: no handshake with it can succeed"},
        {"zero ping limit even without ping targets", false, [](ProbePlan& p) { p.ping_timeout = Duration{}; },
         "all timeouts and the overall deadline must be greater than zero"},
        {"one nanosecond is not zero", false, [](ProbePlan& p) { p.dns_timeout = Duration{0, 1}; }, ""},
        {"unrepresentable deadline reported before a zero limit", false,
         [](ProbePlan& p) {
             p.handshake_timeout = Duration{};
             p.overall_deadline = Duration{UINT64_MAX, 0};
         },
         unrepresentable},
        {"largest millisecond count", false, [](ProbePlan& p) { p.dns_timeout = Duration::from_millis(UINT64_MAX); },
         unrepresentable},
        {"ping without address, AllowedIPs also empty", false, [](ProbePlan& p) { p = ping(std::move(p), ip(10, 0, 0, 1)); },
         "data checks require an IPv4 Interface Address (or --address)"},
        {"ping without AllowedIPs", false,
         [](ProbePlan& p) {
             p = ping(std::move(p), ip(10, 0, 0, 1));
             p.config.set_data_config(cidr(ip(10, 0, 0, 2), 32), {}, {});
         },
         "data checks require IPv4 Peer AllowedIPs (or --allowed-ip)"},
        {"resolve without any DNS server (before an outside ping target)", false,
         [&](ProbePlan& p) {
             allowed_24(p);
             p = ping(std::move(p), ip(192, 0, 2, 9));
             p.resolve = {"name.test"};
         },
         no_dns},
        {"first configured DNS server is IPv6", true,
         [](ProbePlan& p) {
             p.config.dns_servers = {Ipv6Address{{0xFD}}, ip(10, 0, 0, 53)};
             p.resolve = {"name.test"};
         },
         no_dns},
        {"first of two outside targets is named, before an outside DNS server", true,
         [](ProbePlan& p) {
             p = ping(ping(ping(std::move(p), ip(10, 0, 0, 1)), ip(10, 0, 1, 1)), ip(10, 0, 2, 1));
             p.resolve = {"name.test"};
             p.dns_server = ip(9, 9, 9, 9);
         },
         "ping target 10.0.1.1 is outside Peer AllowedIPs"},
        {"DNS server outside AllowedIPs without names is fine", true,
         [](ProbePlan& p) {
             p = ping(std::move(p), ip(10, 0, 0, 1));
             p.config.dns_servers = {ip(9, 9, 9, 9)};
         },
         ""},
        {"DNS server outside AllowedIPs, checked before the names", true,
         [](ProbePlan& p) {
             p.config.dns_servers = {ip(9, 9, 9, 9)};
             p.resolve = {"a..b"};
         },
         "DNS server 9.9.9.9 is outside Peer AllowedIPs"},
        {"caller's DNS server overrides the configuration's", true,
         [](ProbePlan& p) {
             p.dns_server = ip(192, 0, 2, 53);
             p.resolve = {"name.test"};
         },
         "DNS server 192.0.2.53 is outside Peer AllowedIPs"},
        {"first rejected name, exactly as supplied", true, [](ProbePlan& p) { p.resolve = {"Good.Name.", "a..b", "."}; },
         "invalid DNS name a..b: DNS labels must contain 1 to 63 ASCII characters"},
        {"name too short after its dots", true, [](ProbePlan& p) { p.resolve = {"..."}; },
         "invalid DNS name ...: DNS name must contain 1 to 253 characters"},
        {"duplicates and everything in order", true,
         [](ProbePlan& p) {
             p = ping(ping(std::move(p), ip(10, 0, 0, 1)), ip(10, 0, 0, 1));
             p.resolve = {"name.test", "name.test"};
         },
         ""},
        {"AllowedIPs 0.0.0.0/0 covers everything", true,
         [](ProbePlan& p) {
             p = ping(ping(std::move(p), ip(255, 255, 255, 255)), ip(0, 0, 0, 0));
             p.config.allowed_ips = {cidr(ip(0, 0, 0, 0), 0)};
             p.dns_server = ip(203, 0, 113, 1);
             p.resolve = {"name.test"};
         },
         ""},
        // IPv6 targets need the IPv6 side of the configuration, and only they do.
        {"an IPv6 target without an IPv6 address", true, [](ProbePlan& p) { p = ping(std::move(p), ip6("fd00:8::1")); },
         "IPv6 checks require an IPv6 Interface Address (or --address6)"},
        {"an IPv6 target outside the IPv6 AllowedIPs", false,
         [](ProbePlan& p) {
             with_ipv6_side(p);
             p = ping(std::move(p), ip6("fd00:9::1"));
         },
         "ping target fd00:9::1 is outside Peer AllowedIPs"},
        {"IPv6 targets alone need no IPv4 side", false,
         [](ProbePlan& p) {
             with_ipv6_side(p);
             p = ping(ping(std::move(p), ip6("fd00:8::1")), ip6("fd00:8::ffff"));
         },
         ""},
        {"an IPv4 target beside them still needs the IPv4 side", false,
         [](ProbePlan& p) {
             with_ipv6_side(p);
             p = ping(ping(std::move(p), ip6("fd00:8::1")), ip(10, 0, 0, 1));
         },
         "data checks require an IPv4 Interface Address (or --address)"},
        {"the MTU search runs over IPv4", true,
         [](ProbePlan& p) {
             with_ipv6_side(p);
             p = ping(ping(std::move(p), ip6("fd00:8::1")), ip(10, 0, 0, 1));
             p.mtu_check = true;
         },
         "the MTU check searches over IPv4: its first ping target must be an IPv4 address"},
    };
    for (const auto& c : cases) {
        ProbePlan plan = c.data_config ? data_plan() : bare_plan();
        c.change(plan);
        const auto result = plan.validate();
        if (c.expected.empty()) {
            EXPECT_TRUE(result.has_value()) << c.what << ": " << (result ? "" : result.error().message);
        } else {
            ASSERT_FALSE(result.has_value()) << c.what;
            EXPECT_EQ(result.error().message, c.expected) << c.what;
        }
    }
}

// Echo counts, intervals and the MTU check; the expected size comes from the
// caller, then the configuration, then 1420.
TEST(ProbePlanValidate, EchoesAndTheMtuCheck) {
    struct Case {
        const char* what;
        std::function<void(ProbePlan&)> change;
        std::string expected;  // empty: valid
        std::uint32_t expected_mtu = 1420;
    };
    const std::string bad_config_mtu = "Interface MTU must be an integer from 576 through 9000, got ";
    const Case cases[] = {
        {"100 echoes every 10 ms", [](ProbePlan& p) { p.ping_count = 100, p.ping_interval = Duration::from_millis(10); },
         ""},
        {"no echo", [](ProbePlan& p) { p.ping_count = 0; }, "ping_count must be an integer from 1 through 100"},
        {"101 echoes", [](ProbePlan& p) { p.ping_count = 101; }, "ping_count must be an integer from 1 through 100"},
        {"9 ms apart", [](ProbePlan& p) { p.ping_interval = Duration::from_millis(9); },
         "ping_interval_ms must be at least 10"},
        {"MTU check with the default size", [](ProbePlan& p) { p.mtu_check = true; }, ""},
        {"MTU check without a ping target",
         [](ProbePlan& p) {
             p.mtu_check = true;
             p.ping.clear();
         },
         "the MTU check needs a ping target: it measures the path to the first one"},
        {"a size without the check", [](ProbePlan& p) { p.mtu = 1280; }, "mtu applies only with the MTU check or a TCP check"},
        {"a size below 576", [](ProbePlan& p) { p.mtu_check = true, p.mtu = 575; },
         "mtu must be an integer from 576 through 9000"},
        {"the configuration's size", [](ProbePlan& p) { p.mtu_check = true, p.config.mtu = "1280"; }, "", 1280},
        {"the caller's size over the configuration's",
         [](ProbePlan& p) { p.mtu_check = true, p.mtu = 9000, p.config.mtu = "1280"; }, "", 9000},
        {"a configuration size that is no number", [](ProbePlan& p) { p.mtu_check = true, p.config.mtu = "12x"; },
         bad_config_mtu + "12x"},
        {"a configuration size beyond 9000", [](ProbePlan& p) { p.mtu_check = true, p.config.mtu = "9001"; },
         bad_config_mtu + "9001"},
        {"a bad configuration size is not read without the check", [](ProbePlan& p) { p.config.mtu = "+1"; }, ""},
        {"a TCP check announces the default size less 40", [](ProbePlan& p) { p.tcp = {{ip(10, 0, 0, 1), 443}}; }, ""},
        {"a size for a TCP check's MSS", [](ProbePlan& p) { p.tcp = {{ip(10, 0, 0, 1), 443}}, p.mtu = 1160; }, "",
         1160},
        {"a TCP check reads the configuration's size", [](ProbePlan& p) { p.tcp = {{ip(10, 0, 0, 1), 443}}, p.config.mtu = "12x"; },
         bad_config_mtu + "12x"},
        {"a TCP target outside AllowedIPs", [](ProbePlan& p) { p.tcp = {{ip(10, 0, 0, 1), 443}, {ip(10, 0, 1, 1), 80}}; },
         "TCP target 10.0.1.1:80 is outside Peer AllowedIPs"},
    };
    for (const Case& c : cases) {
        ProbePlan plan = ping(data_plan(), ip(10, 0, 0, 1));
        c.change(plan);
        const auto result = plan.validate();
        if (!c.expected.empty()) {
            ASSERT_FALSE(result.has_value()) << c.what;
            EXPECT_EQ(result.error().message, c.expected) << c.what;
            continue;
        }
        EXPECT_TRUE(result.has_value()) << c.what << ": " << (result ? "" : result.error().message);
        if (plan.mtu_check) {
            EXPECT_EQ(plan.expected_mtu().value_or(0), c.expected_mtu) << c.what;
        }
        if (!plan.tcp.empty()) EXPECT_EQ(plan.tcp_mss(), c.expected_mtu - 40) << c.what;
    }
}

// Only echoes that cannot all go out before the deadline are refused: the
// limits are caps under the deadline and never refuse a plan by themselves.
TEST(PlanDeadline, RefusesOnlyEchoesThatOutlastTheDeadline) {
    const struct {
        const char* what;
        std::size_t targets;
        std::uint32_t count;
        std::uint64_t interval_ms;
        std::uint64_t deadline_ms;
        bool refused;
    } cases[] = {
        {"one echo, limits beyond the deadline", 3, 1, 200, 1000, false},
        {"last echo leaves 1 ms before the deadline", 1, 5, 250, 1001, false},
        {"last echo would leave at the deadline", 1, 5, 250, 1000, true},
        {"the targets' echoes add up", 2, 3, 250, 1000, true},
        {"the largest count at the least interval", 1, max_ping_count, min_ping_interval_ms, 991, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ProbePlan plan = data_plan();
        plan.handshake_timeout = Duration::from_millis(60'000);
        plan.ping.assign(c.targets, ip(10, 0, 0, 1));
        plan.ping_count = c.count;
        plan.ping_interval = Duration::from_millis(c.interval_ms);
        plan.overall_deadline = Duration::from_millis(c.deadline_ms);
        ASSERT_TRUE(plan.validate()) << "the deadline rule is not part of validate()";
        EXPECT_EQ(deadline_refusal(plan).has_value(), c.refused);
    }
}

// (The refusal's text is pinned through the command, the module and the fleet.)
TEST(PlanDeadline, NoDeadlineFitsEchoesSpreadBeyondTheLongest) {
    ProbePlan plan = data_plan();
    plan.ping = {ip(10, 0, 0, 1), ip(10, 0, 0, 9)};
    plan.ping_count = 20;
    plan.ping_interval = Duration::from_millis(max_limit_ms);
    plan.overall_deadline = Duration::from_millis(max_limit_ms);
    EXPECT_EQ(deadline_refusal(plan),
              "ping_count 20 x ping_interval_ms 86400000 cannot finish within deadline_ms 86400000: the echoes to 2 "
              "ping targets alone are spread over 3283200000 ms; no deadline_ms up to 86400000 would fit: lower "
              "ping_count or ping_interval_ms");
}

// The sizes the search tries at most: the expected size, 576, and a bisection
// of the 16-byte steps between (1420: steps 36 to 89, 6 halvings).
TEST(PlanDeadline, MtuSearchSizes) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {576, 1}, {590, 2}, {592, 2}, {608, 3}, {1280, 8}, {1420, 8}, {9000, 12}};
    for (const auto& [expected, sizes] : cases) EXPECT_EQ(mtu_search_sizes(expected), sizes) << expected;
}

TEST(ProbePlan, PingAppendsInOrder) {
    const ProbePlan plan = ping(ping(ping(bare_plan(), ip(10, 0, 0, 3)), ip(10, 0, 0, 1)), ip(10, 0, 0, 3));
    EXPECT_EQ(plan.ping, (std::vector<IpAddress>{ip(10, 0, 0, 3), ip(10, 0, 0, 1), ip(10, 0, 0, 3)}));
}

TEST(ProbePlan, EffectiveDnsServerAndInnerSource) {
    ProbePlan plan = bare_plan();
    EXPECT_EQ(plan.effective_dns_server(), std::nullopt);
    EXPECT_EQ(plan.inner_source_address(), ip(0, 0, 0, 0));

    plan.config.dns_servers = {Ipv6Address{}, ip(10, 0, 0, 53)};
    EXPECT_EQ(plan.effective_dns_server(), std::nullopt);
    plan.config.dns_servers = {ip(10, 0, 0, 53), ip(10, 0, 0, 54)};
    EXPECT_EQ(plan.effective_dns_server(), ip(10, 0, 0, 53));
    plan.dns_server = ip(10, 0, 0, 99);
    EXPECT_EQ(plan.effective_dns_server(), ip(10, 0, 0, 99));

    plan.config.address = cidr(ip(10, 0, 0, 7), 24);  // prefix length ignored
    EXPECT_EQ(plan.inner_source_address(), ip(10, 0, 0, 7));
}

// Each prefix's own test is Ipv4Cidr::contains (tests/config); here, the list.
TEST(AllowedIpsContain, AnyPrefixOfTheList) {
    const std::vector<Ipv4Cidr> several{cidr(ip(10, 0, 0, 0), 24), cidr(ip(192, 0, 2, 7), 24)};
    EXPECT_TRUE(allowed_ips_contain(several, ip(192, 0, 2, 200)));
    EXPECT_TRUE(allowed_ips_contain(several, ip(10, 0, 0, 1)));
    EXPECT_FALSE(allowed_ips_contain(several, ip(10, 0, 1, 1)));
    EXPECT_FALSE(allowed_ips_contain({}, ip(10, 0, 0, 1)));
}

}  // namespace
}  // namespace quorlin
