// The harness itself: its reading of the peer's description, and that a real
// peer comes up reachable, can be entered, and leaves nothing behind. The
// scripted peer is proven by the session and probe tests that drive it.

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "peer/json_line.hpp"
#include "peer/netns_guard.hpp"
#include "peer/peer_harness.hpp"

namespace quorlin::peer {
namespace {

TEST(PeerDescription, ReadsTheFieldsAndTheirKinds) {
    auto info = parse_peer_info(
        R"({"namespace":"qpeer-1-0-ab","interface":"qw10ab","listen_port":51820,"endpoint_ipv4":"127.0.0.1:51820",)"
        R"("endpoint_ipv6":null,"host_name":"h","endpoint_host":"h:51820","peer_public_key":"p",)"
        R"("client_private_key":"c","client_public_key":"C","preshared_key":"k","tunnel_address":"10.99.0.1/24",)"
        R"("peer_tunnel_ip":"10.99.0.1","client_address":"10.99.0.2/32","client_tunnel_ip":"10.99.0.2",)"
        R"("dns_address":"10.99.0.1","records":{},"nxdomain":[],"log_dir":"/tmp/x"})");
    ASSERT_TRUE(info) << info.error();
    EXPECT_EQ(info->namespace_name, "qpeer-1-0-ab");
    EXPECT_EQ(info->listen_port, 51820);
    EXPECT_EQ(info->endpoint_ipv6, std::nullopt);
    EXPECT_EQ(info->preshared_key, "k");
    EXPECT_EQ(info->client_tunnel_ip, "10.99.0.2");
    EXPECT_EQ(info->dns_address, "10.99.0.1");
}

TEST(PeerDescription, RefusesWhatIsNotAPeer) {
    struct Case {
        const char* line;
        const char* expected_error;  // a part of the message
    };
    const Case cases[] = {
        {R"({"error":"ip netns add failed","unavailable":false})", "the peer did not start: ip netns add failed"},
        {R"({"namespace":"x"})", "lacks 'interface'"},
        {R"([1,2])", "not a JSON object"},
        {R"({"namespace":"x",})", "bad JSON"},
        {R"({"namespace":"unterminated)", "unterminated string"},
        {R"({"a":1} x)", "trailing characters"},
        {"", "value expected"},
    };
    for (const auto& c : cases) {
        auto info = parse_peer_info(c.line);
        ASSERT_FALSE(info) << c.line;
        EXPECT_NE(info.error().find(c.expected_error), std::string::npos) << c.line << " -> " << info.error();
    }
}

TEST(PeerDescription, JsonStringEscapes) {
    auto value = parse_json(R"(["a\"b\\c\/d\n", "\u00e9\u20ac", "\ud83d\ude00", "\ud83d"])");
    ASSERT_FALSE(value);  // the lone surrogate at the end
    value = parse_json(R"(["a\"b\\c\/d\n", "\u00e9\u20ac", "\ud83d\ude00", -1.5e3, true, null])");
    ASSERT_TRUE(value) << value.error();
    ASSERT_EQ(value->items.size(), 6u);
    EXPECT_EQ(value->items[0].text, "a\"b\\c/d\n");
    EXPECT_EQ(value->items[1].text, "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(value->items[2].text, "\xF0\x9F\x98\x80");
    EXPECT_EQ(value->items[3].text, "-1.5e3");
    EXPECT_EQ(value->items[4].kind, JsonValue::Kind::boolean);
    EXPECT_EQ(value->items[5].kind, JsonValue::Kind::null);
}

std::string read_file(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string current_netns() {
    char target[64] = {};
    const ssize_t n = ::readlink("/proc/thread-self/ns/net", target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// A UDP socket in the current namespace binding the port wireguard-go holds.
int bind_error(const char* address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &local.sin_addr);
    const int result = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    const int error = result == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

TEST(RealPeerHarness, StartsEntersAndTearsDown) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto peer = RealPeer::start({.preshared_key = true});
    ASSERT_TRUE(peer) << peer.error();
    const PeerInfo info = peer->info();
    EXPECT_TRUE(decode_key(info.peer_public_key));
    EXPECT_TRUE(decode_key(info.client_private_key));
    ASSERT_TRUE(info.preshared_key);
    EXPECT_TRUE(decode_key(*info.preshared_key));
    EXPECT_EQ(info.endpoint_ipv4, "127.0.0.1:" + std::to_string(info.listen_port));
    EXPECT_TRUE(exists("/var/run/netns/" + info.namespace_name));
    EXPECT_TRUE(exists("/var/run/wireguard/" + info.interface_name + ".sock"));
    EXPECT_NE(read_file(info.log_dir + "/wireguard-go.log").find("UAPI listener started"), std::string::npos);

    const std::string host_netns = current_netns();
    {
        auto inside = NetnsGuard::enter(info.namespace_name);
        ASSERT_TRUE(inside) << inside.error();
        EXPECT_NE(current_netns(), host_netns);
        // wireguard-go holds the listen port in here, and only in here.
        EXPECT_EQ(bind_error("0.0.0.0", info.listen_port), EADDRINUSE);
    }
    EXPECT_EQ(current_netns(), host_netns);

    ASSERT_TRUE(peer->stop());
    EXPECT_FALSE(exists("/var/run/netns/" + info.namespace_name));
    EXPECT_FALSE(exists("/etc/netns/" + info.namespace_name));
    EXPECT_FALSE(exists("/var/run/wireguard/" + info.interface_name + ".sock"));
    EXPECT_FALSE(exists(info.log_dir));
    EXPECT_TRUE(peer->stop());  // a second stop does nothing
}

TEST(RealPeerHarness, HostNamesResolveFromThePeersHostsFile) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto peer = RealPeer::start({.dns = false});
    ASSERT_TRUE(peer) << peer.error();
    std::vector<std::string> addresses;
    auto ran = run_in_peer_namespace(peer->info().namespace_name, [&] {
        addrinfo hints{};
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* list = nullptr;
        const int rc = ::getaddrinfo(peer->info().host_name.c_str(), nullptr, &hints, &list);
        ASSERT_EQ(rc, 0) << ::gai_strerror(rc);
        for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
            char text[INET6_ADDRSTRLEN] = {};
            const void* raw = a->ai_family == AF_INET
                                  ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
                                  : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
            ::inet_ntop(a->ai_family, raw, text, sizeof text);
            addresses.emplace_back(text);
        }
        ::freeaddrinfo(list);
    });
    ASSERT_TRUE(ran) << ran.error();
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "::1"), addresses.end());
    // The host's own files are untouched.
    EXPECT_EQ(read_file("/etc/hosts").find(peer->info().host_name), std::string::npos);
}

TEST(RealPeerHarness, BadOptionsAreRefusedWithTheReason) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto peer = RealPeer::start({.records = {{"x.quorlin.test", "not-an-address"}}});
    ASSERT_FALSE(peer);
    EXPECT_NE(peer.error().find("record address must be an IPv4 or IPv6 address"), std::string::npos)
        << peer.error();
}

TEST(RealPeerHarness, TwoPeersAtOnceGetTheirOwnNames) {
    QUORLIN_SKIP_WITHOUT_PEER();
    auto first = RealPeer::start({.dns = false});
    auto second = RealPeer::start({.dns = false});
    ASSERT_TRUE(first) << first.error();
    ASSERT_TRUE(second) << second.error();
    EXPECT_NE(first->info().namespace_name, second->info().namespace_name);
    EXPECT_NE(first->info().interface_name, second->info().interface_name);
    EXPECT_NE(first->info().peer_public_key, second->info().peer_public_key);
    // Ending the first leaves the second running.
    const std::string first_name = first->info().namespace_name;
    ASSERT_TRUE(first->stop());
    EXPECT_FALSE(exists("/var/run/netns/" + first_name));
    EXPECT_TRUE(exists("/var/run/netns/" + second->info().namespace_name));
}

}  // namespace
}  // namespace quorlin::peer
