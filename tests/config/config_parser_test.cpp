#include "config/probe_config.hpp"
#include "config/test_keys.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace quorlin {
namespace {

using namespace test_keys;

const std::string interface_section = "[Interface]\nPrivateKey = " + std::string(alice_private) + "\n";
const std::string peer_section =
    "[Peer]\nPublicKey = " + std::string(bob_public) + "\nEndpoint = peer.test:51820\n";
const std::string complete = interface_section + peer_section;

std::string error_text(std::string_view text) {
    const auto config = ProbeConfig::parse(text);
    return config ? "accepted" : config.error().to_text();
}

TEST(ConfigParser, ErrorsInFileOrder) {
    const std::pair<std::string, std::string_view> cases[] = {
        {"", "missing Interface.PrivateKey"},
        {"# comment\n\n \t\n  # another\n", "missing Interface.PrivateKey"},
        {interface_section, "missing Peer.PublicKey"},
        {interface_section + "[Peer]\nPublicKey = " + std::string(bob_public) + "\n", "missing Peer.Endpoint"},
        {peer_section, "missing Interface.PrivateKey"},
        {complete + peer_section, "the probe accepts exactly one [Peer] section"},
        // Line errors come before the completion checks.
        {complete + "[Peer]\nPublicKey = nope\n", "PublicKey must be a base64-encoded 32-byte key"},
        {"[Peer]\n[Peer]\nlonely\n", "line 3 is not a section or key-value pair"},
        {interface_section + "lonely\n", "line 3 is not a section or key-value pair"},
        {"lonely\n" + complete, "line 1 is not a section or key-value pair"},
        {"[Other]\n\n# c\nlonely\n", "line 4 is not a section or key-value pair"},
        {"[Interface\n", "line 1 is not a section or key-value pair"},
        {"\xEF\xBB\xBF" + complete, "line 1 is not a section or key-value pair"},
        {"\r\n\r\nword\r\n", "line 3 is not a section or key-value pair"},
        // Headers and keys are exact and case-sensitive; the rest is ignored.
        {interface_section + "[peer]\nPublicKey = " + std::string(bob_public) + "\nEndpoint = x:1\n",
         "missing Peer.PublicKey"},
        {interface_section + "[PEER]\n", "missing Peer.PublicKey"},
        {interface_section + "[ Peer ]\n", "missing Peer.PublicKey"},
        {interface_section + "[Peer]\npublickey = " + std::string(bob_public) + "\n", "missing Peer.PublicKey"},
        {"[Other]\nPrivateKey = bad\n[Interface]\n= 1.2.3.4\n", "missing Interface.PrivateKey"},
        {"PrivateKey = bad\n", "missing Interface.PrivateKey"},
        {interface_section + "[Peer]=x\n", "missing Peer.PublicKey"},
        {interface_section + "[Pe=er]\nPublicKey = bad\n", "missing Peer.PublicKey"},
        // Bad values.
        {"[Interface]\nPrivateKey = " + std::string(alice_private).substr(0, 43), "PrivateKey must be a base64-encoded 32-byte key"},
        {"[Peer]\nPublicKey =\n", "PublicKey must be a base64-encoded 32-byte key"},
        {"[Peer]\nPublicKey = " + std::string(bob_public).substr(0, 43) + "\n", "PublicKey must be a base64-encoded 32-byte key"},
        {"[Peer]\nPresharedKey = " + std::string(bob_public) + "=\n", "PresharedKey must be a base64-encoded 32-byte key"},
        {"[Interface]\nAddress = 10.0.0.2/32, 10.0.0.300/32\n", "Interface.Address contains invalid IPv4 CIDR 10.0.0.300/32"},
        {"[Interface]\nAddress = 10.0.0.2\n", "Interface.Address contains invalid IPv4 CIDR 10.0.0.2"},
        {"[Interface]\nAddress = 10.0.0.2/32\nAddress = 10.0.0.3/33\n", "Interface.Address contains invalid IPv4 CIDR 10.0.0.3/33"},
        {"[Peer]\nAllowedIPs = 10.0.0.0/8 ,\t1.2.3.4 / 8 # c\n", "Peer.AllowedIPs contains invalid IPv4 CIDR 1.2.3.4 / 8"},
        {"[Interface]\nAddress = fd00::2/129\n", "Interface.Address contains invalid IPv6 CIDR fd00::2/129"},
        {"[Interface]\nAddress = fd00::2\n", "Interface.Address contains invalid IPv6 CIDR fd00::2"},
        {"[Interface]\nAddress = fe80::2%eth0/64\n", "Interface.Address contains invalid IPv6 CIDR fe80::2%eth0/64"},
        {"[Interface]\nAddress = [fd00::2]/64\n", "Interface.Address contains invalid IPv6 CIDR [fd00::2]/64"},
        {"[Interface]\nAddress = ::ffff:10.0.0.2/128\n", "Interface.Address contains invalid IPv6 CIDR ::ffff:10.0.0.2/128"},
        {"[Peer]\nAllowedIPs = fd00::/8, fd00:::1/64\n", "Peer.AllowedIPs contains invalid IPv6 CIDR fd00:::1/64"},
        {"[Peer]\nAllowedIPs = fd00::g/64\n", "Peer.AllowedIPs contains invalid IPv6 CIDR fd00::g/64"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(error_text(text), message) << text;
}

TEST(ConfigParser, ReadsACompleteFile) {
    const std::string text =
        "# a full configuration\n"
        "[Interface]\n"
        "PrivateKey = " + std::string(bob_private) + "  # old key\n"
        "PrivateKey=" + std::string(alice_private) + "\n"
        "Address = fd00::2/64, 10.0.0.2/32, 10.0.0.3/32\n"
        "Address = 10.0.0.4/32, fd00:0:0::3/+0128\n"
        "DNS = 192.0.2.53, corp.example, 2001:db8::53,, 192.0.2.53\n"
        "ListenPort = 51820\n"
        "\xE3\x80\x80" "MTU\xC2\xA0=\xC2\xA0" "1420\xE2\x80\xA8\n"
        "[Peer]\n"
        "PublicKey = " + std::string(bob_public) + "\n"
        "PresharedKey = " + std::string(counting) + "\n"
        "AllowedIPs = 0.0.0.0/0, ::/0\n"
        "AllowedIPs = ,10.0.0.0/8,, 10.0.0.0/8,\n"
        "AllowedIPs = FD00:8::/120\n"
        "Endpoint = \t[2001:db8::1]:51820 # the endpoint\n"
        "[Interface]\n"
        "DNS = 198.51.100.1";
    std::string crlf;  // the same file with CR LF line ends
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (const std::string& input : {text, crlf}) {
        const auto config = ProbeConfig::parse(input);
        ASSERT_TRUE(config.has_value()) << config.error().to_text();
        EXPECT_EQ(config->client_public_key(), alice_public);
        EXPECT_EQ(encode_base64_key(config->peer_public_key), bob_public);
        ASSERT_TRUE(config->preshared_key.has_value());
        EXPECT_EQ(encode_base64_key(config->preshared_key->view()), counting);
        EXPECT_EQ(config->endpoint, "[2001:db8::1]:51820");
        EXPECT_EQ(config->address->to_text(), "10.0.0.2/32");
        ASSERT_EQ(config->allowed_ips.size(), 3u);
        EXPECT_EQ(config->allowed_ips[0].to_text(), "0.0.0.0/0");
        EXPECT_EQ(config->allowed_ips[2].to_text(), "10.0.0.0/8");
        EXPECT_EQ(config->address6->to_text(), "fd00::2/64");
        ASSERT_EQ(config->allowed_ips6.size(), 2u);
        EXPECT_EQ(config->allowed_ips6[0].to_text(), "::/0");
        EXPECT_EQ(config->allowed_ips6[1].to_text(), "fd00:8::/120");
        const std::vector<IpAddress> dns = {
            Ipv4Address{{192, 0, 2, 53}},
            *parse_ip_address("2001:db8::53"),
            Ipv4Address{{192, 0, 2, 53}},
            Ipv4Address{{198, 51, 100, 1}},
        };
        EXPECT_EQ(config->dns_servers, dns);
    }
}

TEST(ConfigParser, EndpointIsTakenAsWritten) {
    const std::pair<std::string, std::string_view> cases[] = {
        {"Endpoint =", ""},
        {"Endpoint = a=b # c", "a=b"},
        {"Endpoint = a\rb", "a\rb"},  // a CR not before LF is ordinary text
        {"Endpoint = first\nEndpoint = second", "second"},
    };
    for (const auto& [lines, endpoint] : cases) {
        const auto config = ProbeConfig::parse(interface_section + "[Peer]\nPublicKey = " + std::string(bob_public) +
                                               "\n" + lines + "\n");
        ASSERT_TRUE(config.has_value()) << lines;
        EXPECT_EQ(config->endpoint, endpoint);
        EXPECT_FALSE(config->address.has_value());
        EXPECT_FALSE(config->preshared_key.has_value());
    }
}

}  // namespace
}  // namespace quorlin

namespace quorlin {
namespace {

// Garbage must only ever give a config or an error: no crash, no hang, and
// (under the sanitizers) no bad memory access.
TEST(ConfigParser, SurvivesRandomInput) {
    const std::string fragments[] = {
        "[Interface]", "[Peer]", "[", "]", "=", "#", ",", ":", "/", "\r", "\n", " ", "\xC2\xA0", "\xE2\x80",
        "PrivateKey", "PublicKey", "PresharedKey", "Endpoint", "Address", "AllowedIPs", "DNS",
        std::string(alice_private), "10.0.0.1/24", "::1", "1.2.3.4", "999", "+", "-", std::string(1, '\0'),
    };
    std::mt19937 random(20240607);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int pieces = static_cast<int>(random() % 64);
        for (int i = 0; i < pieces; ++i) {
            if (random() % 3 == 0) {
                text += static_cast<char>(random() % 256);
            } else {
                text += fragments[random() % std::size(fragments)];
            }
        }
        const auto config = ProbeConfig::parse(text);
        if (!config) {
            EXPECT_FALSE(config.error().to_text().empty());
        }
    }
}

}  // namespace
}  // namespace quorlin
