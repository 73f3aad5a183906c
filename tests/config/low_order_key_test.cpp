// The small-order list is checked against libsodium itself: X25519 with each
// listed point gives the all-zero secret that it refuses, and an ordinary
// public key is not on the list.

#include "config/low_order_key.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstdint>

#include "common/sodium_init.hpp"

namespace quorlin {
namespace {

TEST(LowOrderKey, ExactlyThePointsX25519Refuses) {
    ensure_sodium();
    std::array<std::uint8_t, 32> scalar{};
    randombytes_buf(scalar.data(), scalar.size());
    std::array<std::uint8_t, 32> shared{};

    // Each point of small order gives an all-zero secret, which libsodium
    // refuses; each must be recognised, with bit 255 set too.
    const PublicKey candidates[] = {
        {}, {0x01},
        {0xe0, 0xeb, 0x7a, 0x7c, 0x3b, 0x41, 0xb8, 0xae, 0x16, 0x56, 0xe3, 0xfa, 0xf1, 0x9f, 0xc4, 0x6a,
         0xda, 0x09, 0x8d, 0xeb, 0x9c, 0x32, 0xb1, 0xfd, 0x86, 0x62, 0x05, 0x16, 0x5f, 0x49, 0xb8, 0x00},
        {0x5f, 0x9c, 0x95, 0xbc, 0xa3, 0x50, 0x8c, 0x24, 0xb1, 0xd0, 0xb1, 0x55, 0x9c, 0x83, 0xef, 0x5b,
         0x04, 0x44, 0x5c, 0xc4, 0x58, 0x1c, 0x8e, 0x86, 0xd8, 0x22, 0x4e, 0xdd, 0xd0, 0x9f, 0x11, 0x57},
    };
    for (PublicKey key : candidates) {
        EXPECT_NE(crypto_scalarmult(shared.data(), scalar.data(), key.data()), 0);
        EXPECT_TRUE(is_low_order_public_key(key));
        key.back() |= 0x80;
        EXPECT_TRUE(is_low_order_public_key(key));
    }
    PublicKey near_p{};
    near_p.fill(0xff);
    for (std::uint8_t low : {0xec, 0xed, 0xee}) {  // p - 1, p, p + 1
        near_p[0] = low;
        near_p[31] = 0x7f;
        EXPECT_NE(crypto_scalarmult(shared.data(), scalar.data(), near_p.data()), 0) << int(low);
        EXPECT_TRUE(is_low_order_public_key(near_p)) << int(low);
    }

    // Ordinary keys: the base point and fresh public keys.
    EXPECT_FALSE(is_low_order_public_key(PublicKey{9}));
    for (int i = 0; i < 100; ++i) {
        PublicKey fresh{};
        crypto_scalarmult_base(fresh.data(), scalar.data());
        EXPECT_FALSE(is_low_order_public_key(fresh));
        scalar[i % 32] ^= static_cast<std::uint8_t>(i + 1);
    }
}

}  // namespace
}  // namespace quorlin
