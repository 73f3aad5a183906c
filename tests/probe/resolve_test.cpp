// Endpoint resolution in the root namespace: literals, refusals and lookups.
// Host names are limited to "localhost" and numeric hosts, which never leave
// the machine. Busy workers and shared lookups need a resolver that waits:
// resolve_hang_test.cpp.

#include "probe/resolve.hpp"

#include <gtest/gtest.h>

#include <string>

#include "probe/shared_lookups.hpp"
#include "probe/socket_address_literal.hpp"

namespace quorlin {
namespace {

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

TEST(ResolveEndpoint, RefusesTheTextBeforeAnyLookup) {
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

}  // namespace
}  // namespace quorlin
