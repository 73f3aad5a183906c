#include "config/probe_config.hpp"
#include "config/test_keys.hpp"

#include <gtest/gtest.h>

#include <new>

namespace quorlin {
namespace {

using namespace test_keys;

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

TEST(ProbeConfigWiping, DestructionZeroesBothSecretKeys) {
    alignas(ProbeConfig) std::uint8_t storage[sizeof(ProbeConfig)];
    auto* config = new (storage) ProbeConfig(ProbeConfig::from_parts(alice_private, bob_public, "host:1").value());
    config->preshared_key.emplace(config->peer_public_key);
    const std::uint8_t* private_bytes = config->private_key.bytes().data();
    const std::uint8_t* preshared_bytes = config->preshared_key->data();
    ASSERT_FALSE(all_zero({private_bytes, 32}));
    ASSERT_FALSE(all_zero({preshared_bytes, 32}));
    config->~ProbeConfig();
    EXPECT_TRUE(all_zero({private_bytes, 32}));
    EXPECT_TRUE(all_zero({preshared_bytes, 32}));
}

TEST(ProbeConfigWiping, MovingLeavesNoSecretBehind) {
    auto source = ProbeConfig::from_parts(alice_private, bob_public, "host:1").value();
    source.preshared_key.emplace(source.peer_public_key);
    ProbeConfig target(std::move(source));
    EXPECT_TRUE(all_zero(source.private_key.bytes()));
    EXPECT_FALSE(source.preshared_key.has_value());
    EXPECT_EQ(target.client_public_key(), alice_public);
    ASSERT_TRUE(target.preshared_key.has_value());

    auto other = ProbeConfig::from_parts(bob_private, alice_public, "other:2").value();
    other = std::move(target);
    EXPECT_TRUE(all_zero(target.private_key.bytes()));
    EXPECT_EQ(other.client_public_key(), alice_public);
    EXPECT_EQ(other.endpoint, "host:1");
}

}  // namespace
}  // namespace quorlin
