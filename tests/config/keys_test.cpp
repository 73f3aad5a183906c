#include "config/base64_key.hpp"
#include "config/keys.hpp"
#include "config/test_keys.hpp"

#include <gtest/gtest.h>

#include <new>
#include <optional>
#include <string>

namespace quorlin {
namespace {

using namespace test_keys;

TEST(Base64Key, AcceptsOnlyTheCanonicalText) {
    const std::string key(counting);
    const std::string ones = "//////////////////////////////////////////8=";
    struct Case {
        std::string text;
        bool accepted;
    };
    const Case cases[] = {
        {key, true},
        {ones, true},
        {key.substr(0, 43), false},                      // padding missing
        {key.substr(0, 43) + "==", false},               // padding doubled
        {key.substr(0, 42) + "==", false},               // 31 bytes
        {std::string(44, 'A'), false},                   // 33 bytes, no padding
        {std::string(42, '_') + "8=", false},
        {"-" + ones.substr(1), false},                   // URL-safe alphabet
        {"_" + ones.substr(1), false},
        {key.substr(0, 10) + " " + key.substr(11), false},  // space inside
        {" " + key.substr(1), false},
        {key.substr(0, 20) + "=" + key.substr(21), false},  // padding in the middle
        {"", false},
        {std::string(48, '/'), false},                   // 36 bytes
        {std::string(40, 'A'), false},                   // 30 bytes
        {key + "\n", false},
        {key.substr(0, 5) + '\0' + key.substr(6), false},
        {key.substr(0, 5) + "\xC3\xA9" + key.substr(7), false},
    };
    for (const Case& c : cases) {
        std::array<std::uint8_t, 32> out;
        out.fill(0xAA);
        EXPECT_EQ(decode_base64_key(c.text, out), c.accepted) << c.text;
        if (!c.accepted) {
            EXPECT_TRUE(all_zero(out)) << "not wiped: " << c.text;
        }
    }
}

TEST(Base64Key, LastDataCharacterMustHaveZeroTrailingBits) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string zero_low_bits = "AEIMQUYcgkosw048";
    for (char c : alphabet) {
        std::string text(counting);
        text[42] = c;
        std::array<std::uint8_t, 32> out{};
        EXPECT_EQ(decode_base64_key(text, out), zero_low_bits.find(c) != std::string::npos) << c;
    }
}

TEST(X25519, PublicKeysOfTheRfc7748Vectors) {
    for (auto [private_text, public_text] : {std::pair{alice_private, alice_public}, std::pair{bob_private, bob_public}}) {
        const auto key = parse_private_key(private_text);
        ASSERT_TRUE(key.has_value());
        EXPECT_EQ(encode_base64_key(key->public_key()), public_text);
        // The stored key is exactly what was decoded: not clamped.
        EXPECT_EQ(encode_base64_key(key->bytes()), private_text);
    }
}

TEST(X25519, ClampedBitsDoNotChangeThePublicKey) {
    auto key = parse_private_key(alice_private);
    ASSERT_TRUE(key.has_value());
    std::array<std::uint8_t, 32> flipped;
    std::ranges::copy(key->bytes(), flipped.begin());
    flipped[0] ^= 0x07;   // bits 0, 1, 2
    flipped[31] ^= 0xC0;  // bits 254 and 255
    const X25519StaticSecret other(flipped);
    EXPECT_EQ(other.public_key(), key->public_key());
    EXPECT_EQ(other.bytes()[0], flipped[0]);
}

TEST(X25519StaticSecretWiping, DestructionZeroesTheKeyBytes) {
    const auto source = parse_private_key(alice_private);
    alignas(X25519StaticSecret) std::uint8_t storage[sizeof(X25519StaticSecret)];
    auto* key = new (storage) X25519StaticSecret(source->bytes());
    const std::uint8_t* bytes = key->bytes().data();
    ASSERT_FALSE(all_zero({bytes, 32}));
    key->~X25519StaticSecret();
    EXPECT_TRUE(all_zero(storage));
}

TEST(X25519StaticSecretWiping, ReplacedAndMovedFromKeysAreZeroed) {
    // The parser replaces a key by resetting its slot and then filling it: the
    // old bytes must be gone before the new ones arrive.
    std::optional<X25519StaticSecret> slot = parse_private_key(alice_private).value();
    const std::uint8_t* bytes = slot->bytes().data();
    slot.reset();
    EXPECT_TRUE(all_zero({bytes, 32}));

    auto moved_from = parse_private_key(alice_private).value();
    X25519StaticSecret target = parse_private_key(bob_private).value();
    target = std::move(moved_from);
    EXPECT_EQ(encode_base64_key(target.bytes()), alice_private);
    EXPECT_TRUE(all_zero(moved_from.bytes()));
}

}  // namespace
}  // namespace quorlin
