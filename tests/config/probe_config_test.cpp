#include "config/probe_config.hpp"
#include "config/test_keys.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>

namespace quorlin {
namespace {

using namespace test_keys;

TEST(ConfigErrorText, DisplayTexts) {
    using E = ConfigError;
    const std::pair<ConfigError, std::string_view> cases[] = {
        {E{E::InvalidLine{3}}, "line 3 is not a section or key-value pair"},
        {E{E::InvalidLine{18446744073709551615u}}, "line 18446744073709551615 is not a section or key-value pair"},
        {E{E::InvalidKey{"PublicKey"}}, "PublicKey must be a base64-encoded 32-byte key"},
        {E{E::Missing{"Peer.Endpoint"}}, "missing Peer.Endpoint"},
        {E{E::MultiplePeers{}}, "the probe accepts exactly one [Peer] section"},
        {E{E::InvalidCidr{"Interface.Address", "10.0.0.300/32"}},
         "Interface.Address contains invalid IPv4 CIDR 10.0.0.300/32"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.to_text(), text);
}

TEST(FromParts, TrimsTheKeysAndKeepsTheEndpoint) {
    const auto config = ProbeConfig::from_parts("\n " + std::string(alice_private) + "\r\n",
                                                "\xC2\xA0" + std::string(bob_public) + "\t", " peer.test:51820 ");
    ASSERT_TRUE(config.has_value()) << config.error().to_text();
    EXPECT_EQ(config->client_public_key(), alice_public);
    EXPECT_EQ(encode_base64_key(config->peer_public_key), bob_public);
    EXPECT_EQ(config->endpoint, " peer.test:51820 ");
    EXPECT_FALSE(config->address.has_value());
    EXPECT_FALSE(config->preshared_key.has_value());
    EXPECT_TRUE(config->dns_servers.empty());
    EXPECT_TRUE(config->allowed_ips.empty());
}

TEST(FromParts, ReportsTheFirstBadKey) {
    const std::string good(alice_private);
    const std::string bad = good.substr(0, 43);
    const std::tuple<std::string, std::string, std::string_view> cases[] = {
        {good, bad, "PublicKey must be a base64-encoded 32-byte key"},
        {bad, good, "PrivateKey must be a base64-encoded 32-byte key"},
        {bad, bad, "PrivateKey must be a base64-encoded 32-byte key"},
        {"", good, "PrivateKey must be a base64-encoded 32-byte key"},
        {"PrivateKey = " + good, good, "PrivateKey must be a base64-encoded 32-byte key"},
    };
    for (const auto& [private_text, peer_text, message] : cases) {
        const auto config = ProbeConfig::from_parts(private_text, peer_text, "host:1");
        ASSERT_FALSE(config.has_value());
        EXPECT_EQ(config.error().to_text(), message);
    }
}

TEST(SetDataConfig, ReplacesAddressAndLists) {
    auto config = ProbeConfig::from_parts(alice_private, bob_public, "host:1").value();
    config.dns_servers.push_back(Ipv4Address{{9, 9, 9, 9}});
    config.set_data_config(*Ipv4Cidr::from_str("10.0.0.2/32"), {},
                           {*Ipv4Cidr::from_str("10.0.0.0/8"), *Ipv4Cidr::from_str("10.0.0.0/8")});
    EXPECT_EQ(config.address, Ipv4Cidr::from_str("10.0.0.2/32"));
    EXPECT_TRUE(config.dns_servers.empty());
    EXPECT_EQ(config.allowed_ips.size(), 2u);
}

bool all_zero(const std::uint8_t* bytes) {
    return std::all_of(bytes, bytes + 32, [](std::uint8_t b) { return b == 0; });
}

TEST(ProbeConfigWiping, DestructionZeroesBothSecretKeys) {
    alignas(ProbeConfig) std::uint8_t storage[sizeof(ProbeConfig)];
    auto* config = new (storage) ProbeConfig(ProbeConfig::from_parts(alice_private, bob_public, "host:1").value());
    config->preshared_key.emplace(config->peer_public_key);
    const std::uint8_t* private_bytes = config->private_key.bytes().data();
    const std::uint8_t* preshared_bytes = config->preshared_key->data();
    ASSERT_FALSE(all_zero(private_bytes));
    ASSERT_FALSE(all_zero(preshared_bytes));
    config->~ProbeConfig();
    EXPECT_TRUE(all_zero(private_bytes));
    EXPECT_TRUE(all_zero(preshared_bytes));
}

TEST(ProbeConfigWiping, MovingLeavesNoSecretBehind) {
    auto source = ProbeConfig::from_parts(alice_private, bob_public, "host:1").value();
    source.preshared_key.emplace(source.peer_public_key);
    ProbeConfig target(std::move(source));
    EXPECT_TRUE(all_zero(source.private_key.bytes().data()));
    EXPECT_FALSE(source.preshared_key.has_value());
    EXPECT_EQ(target.client_public_key(), alice_public);
    ASSERT_TRUE(target.preshared_key.has_value());

    auto other = ProbeConfig::from_parts(bob_private, alice_public, "other:2").value();
    other = std::move(target);
    EXPECT_TRUE(all_zero(target.private_key.bytes().data()));
    EXPECT_EQ(other.client_public_key(), alice_public);
    EXPECT_EQ(other.endpoint, "host:1");
}

}  // namespace
}  // namespace quorlin
