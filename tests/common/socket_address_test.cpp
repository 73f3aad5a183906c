#include "common/socket_address.hpp"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace quorlin {
namespace {

SocketAddress v4(const char* address, std::uint16_t port) {
    sockaddr_in raw{};
    raw.sin_family = AF_INET;
    raw.sin_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET, address, &raw.sin_addr), 1) << address;
    return SocketAddress(raw);
}

SocketAddress v6(const char* address, std::uint16_t port, std::uint32_t scope = 0) {
    sockaddr_in6 raw{};
    raw.sin6_family = AF_INET6;
    raw.sin6_port = htons(port);
    raw.sin6_scope_id = scope;
    EXPECT_EQ(inet_pton(AF_INET6, address, &raw.sin6_addr), 1) << address;
    return SocketAddress(raw);
}

TEST(SocketAddressText, Ipv4IsDottedDecimalAndPort) {
    EXPECT_EQ(v4("127.0.0.1", 51820).to_text(), "127.0.0.1:51820");
    EXPECT_EQ(v4("0.0.0.0", 0).to_text(), "0.0.0.0:0");
    EXPECT_EQ(v4("255.255.255.255", 65535).to_text(), "255.255.255.255:65535");
}

TEST(SocketAddressText, Ipv6IsCompressedInBrackets) {
    struct Case {
        const char* address;
        std::uint16_t port;
        std::uint32_t scope;
        const char* text;
    };
    const Case cases[] = {
        {"::1", 443, 0, "[::1]:443"},
        {"::", 0, 0, "[::]:0"},
        {"fe80::1", 51820, 3, "[fe80::1%3]:51820"},
        {"fe80::1", 51820, 4294967295u, "[fe80::1%4294967295]:51820"},
        // Upper-case input, leading zeros dropped, lower-case output.
        {"2001:0DB8:0000:0000:0000:0000:0000:00AB", 1, 0, "[2001:db8::ab]:1"},
        // A single zero group is never shortened to "::".
        {"2001:db8:0:1:1:1:1:1", 2, 0, "[2001:db8:0:1:1:1:1:1]:2"},
        // The longest zero run is shortened; on a tie, the first one.
        {"1:0:0:2:0:0:0:3", 3, 0, "[1:0:0:2::3]:3"},
        {"1:0:0:2:3:0:0:4", 4, 0, "[1::2:3:0:0:4]:4"},
        {"1:0:0:0:0:0:0:0", 5, 0, "[1::]:5"},
        {"0:0:0:0:0:0:0:1", 6, 0, "[::1]:6"},
        {"1:2:3:4:5:6:7:8", 7, 0, "[1:2:3:4:5:6:7:8]:7"},
        // IPv4-mapped addresses show the embedded IPv4 address.
        {"::ffff:192.0.2.1", 8, 0, "[::ffff:192.0.2.1]:8"},
        {"::ffff:0.0.0.0", 9, 0, "[::ffff:0.0.0.0]:9"},
        // The deprecated IPv4-compatible form is plain hexadecimal.
        {"::192.0.2.1", 10, 0, "[::c000:201]:10"},
        {"::0.0.0.2", 11, 0, "[::2]:11"},
        {"::1:2", 12, 0, "[::1:2]:12"},
        // Other prefixes with embedded IPv4 addresses stay hexadecimal too.
        {"::ffff:0:c000:201", 13, 0, "[::ffff:0:c000:201]:13"},
        {"64:ff9b::192.0.2.1", 14, 0, "[64:ff9b::c000:201]:14"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(v6(c.address, c.port, c.scope).to_text(), c.text) << c.address;
    }
}

}  // namespace
}  // namespace quorlin
