// Known-answer tests for the primitive wrappers and the protocol's KDF. The
// expected values come from the RFCs named, or were computed independently
// with Python's hashlib/hmac and the cryptography package.

#include "wireguard/crypto.hpp"
#include "wireguard/handshake.hpp"
#include "wireguard/kdf.hpp"
#include "wireguard/tai64n.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wireguard/test_support.hpp"

namespace quorlin::wireguard {
namespace {

using testing::array_from_hex;
using testing::from_hex;
using testing::to_hex;

Bytes text(std::string_view s) { return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }

const auto key_0_to_31 = array_from_hex<32>("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");

TEST(Blake2s, MatchesKnownAnswers) {
    std::array<std::uint8_t, 32> out{};
    hash(out, {text("abc")});  // RFC 7693 appendix B
    EXPECT_EQ(to_hex(out), "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982");
    hash(out, {});
    EXPECT_EQ(to_hex(out), "69217a3079908094e11121d042354a7c1f55b6482ca1a51e1b250dfd1ed0eef9");
    hash(out, {text("a"), text(""), text("bc")});  // parts are concatenated
    EXPECT_EQ(to_hex(out), "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982");
}

TEST(Blake2s, KeyedOutputsOf16And32Bytes) {
    struct Case {
        std::size_t key_bytes;
        std::size_t out_bytes;
        const char* expected;
    };
    const Case cases[] = {
        {32, 16, "0409270ce0b2ea6b556016eb73f45e4e"},
        {16, 16, "5f2fb59e528d3c08283b76a7bc0c6065"},
        {32, 32, "548b19db87d69c377c773137634c6de36d9ee17505a115fb0a35c6e522948d2f"},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> out(c.out_bytes);
        keyed_hash(out, Bytes(key_0_to_31).first(c.key_bytes), {text("quor"), text("lin")});
        EXPECT_EQ(to_hex(out), c.expected) << c.key_bytes << "-byte key, " << c.out_bytes << "-byte output";
    }
}

TEST(Hmac, MatchesHmacBlake2s) {
    std::array<std::uint8_t, 32> out{};
    hmac(out, key_0_to_31, text("quorlin"));
    EXPECT_EQ(to_hex(out), "4ad5ea49d45e83df9bf8c0f731ec5fe27e74831d2b0fbec2281647759065cb35");
    std::array<std::uint8_t, 64> block_key{};
    for (std::size_t i = 0; i < block_key.size(); ++i) block_key[i] = static_cast<std::uint8_t>(i);
    hmac(out, block_key, text("quorlin"));  // a key of exactly one block is used as is
    EXPECT_EQ(to_hex(out), "652a54c3d13c762f39ec714a4cc6ef2bbad20414a7cfef78ccc9fe00ce819d88");
}

TEST(Kdf, OutputsChainFromTheFirstHmac) {
    const char* t1 = "956a29db4b89e5238db6a0bd71d9201d9935233fcb4e20a57236476c7b693e1b";
    const char* t2 = "6ba43973a27b6e3815d1e629dd9a6fa3ea3fc5f913021b08512fbf15f9017e9a";
    const char* t3 = "522a75f057ad723f2ceb9a5afca65579bfa640621038439f0509d0e727a52c5d";
    std::array<std::uint8_t, 32> a{}, b{}, c{};
    kdf1(a, key_0_to_31, text("quorlin"));
    EXPECT_EQ(to_hex(a), t1);
    kdf2(a, b, key_0_to_31, text("quorlin"));
    EXPECT_EQ(to_hex(a), t1);
    EXPECT_EQ(to_hex(b), t2);
    kdf3(a, b, c, key_0_to_31, text("quorlin"));
    EXPECT_EQ(to_hex(a), t1);
    EXPECT_EQ(to_hex(b), t2);
    EXPECT_EQ(to_hex(c), t3);

    // The chaining key is replaced in place: output aliasing the key.
    auto chaining = key_0_to_31;
    kdf2(chaining, b, chaining, Bytes());
    EXPECT_EQ(to_hex(chaining), "7a38c34bf2b8738d7374ca77c44ecb309a11d2b2528304fa86052c365e722624");
    EXPECT_EQ(to_hex(b), "1a17621f346abdc520746a9fb64d8eb03231d674fc15687537b0780fd9c060fd");
}

TEST(Kdf, ProtocolInitialChainingKeyAndHash) {
    std::array<std::uint8_t, 32> chaining{}, initial_hash{};
    hash(chaining, {text(noise_construction)});
    hash(initial_hash, {chaining, text(wireguard_identifier)});
    EXPECT_EQ(to_hex(chaining), "60e26daef327efc02ec335e2a025d2d016eb4206f87277f52d38d1988b78cd36");
    EXPECT_EQ(to_hex(initial_hash), "2211b361081ac566691243db458ad5322d9c6c662293e8b70ee19c65ba079ef3");
}

TEST(X25519, Rfc7748Vectors) {
    std::array<std::uint8_t, 32> out{};
    // Section 5.2, first vector.
    const auto scalar = array_from_hex<32>("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
    const auto point = array_from_hex<32>("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c");
    ASSERT_TRUE(x25519(out, scalar, point));
    EXPECT_EQ(to_hex(out), "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552");
    // Section 6.1 Diffie-Hellman.
    x25519_public_key(out, testing::alice_private);
    EXPECT_EQ(out, testing::alice_public);
    ASSERT_TRUE(x25519(out, testing::alice_private, testing::bob_public));
    EXPECT_EQ(to_hex(out), "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
    ASSERT_TRUE(x25519(out, testing::bob_private, testing::alice_public));
    EXPECT_EQ(to_hex(out), "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
}

TEST(X25519, RefusesLowOrderPoints) {
    const char* low_order[] = {
        "0000000000000000000000000000000000000000000000000000000000000000",  // order 1 (u = 0)
        "0100000000000000000000000000000000000000000000000000000000000000",  // order 4 (u = 1)
        "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",  // order 8
    };
    for (const char* hex : low_order) {
        std::array<std::uint8_t, 32> out;
        out.fill(0xaa);
        EXPECT_FALSE(x25519(out, testing::alice_private, array_from_hex<32>(hex))) << hex;
        EXPECT_EQ(out, (std::array<std::uint8_t, 32>{})) << "a refused result is zeroed";
    }
}

TEST(X25519, GeneratedPairsAgree) {
    SecretArray<32> a_private, b_private;
    std::array<std::uint8_t, 32> a_public{}, b_public{}, ab{}, ba{};
    x25519_generate(a_private, a_public);
    x25519_generate(b_private, b_public);
    EXPECT_NE(a_public, b_public);
    ASSERT_TRUE(x25519(ab, a_private.view(), b_public));
    ASSERT_TRUE(x25519(ba, b_private.view(), a_public));
    EXPECT_EQ(ab, ba);
}

const std::string sunscreen =
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen would be "
    "it.";
const auto key_80_to_9f = array_from_hex<32>("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
const auto sunscreen_ad = from_hex("50515253c0c1c2c3c4c5c6c7");

TEST(ChaCha20Poly1305, Rfc8439Vector) {
    const auto nonce = array_from_hex<12>("070000004041424344454647");
    std::vector<std::uint8_t> sealed(sunscreen.size() + tag_bytes);
    aead_seal(sealed, key_80_to_9f, nonce, text(sunscreen), sunscreen_ad);
    EXPECT_EQ(to_hex(sealed),
              "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a71de0a"
              "9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9d"
              "e576d26586cec64b6116"
              "1ae10b594f09e26a7e902ecbd0600691");
    std::vector<std::uint8_t> opened(sunscreen.size());
    ASSERT_TRUE(aead_open(opened, key_80_to_9f, nonce, sealed, sunscreen_ad));
    EXPECT_EQ(std::string(opened.begin(), opened.end()), sunscreen);
}

TEST(ChaCha20Poly1305, CounterNonceIsFourZeroBytesThenLittleEndianCounter) {
    EXPECT_EQ(to_hex(counter_nonce(0x0102030405060708)), "000000000807060504030201");
    std::vector<std::uint8_t> sealed(17 + tag_bytes);
    aead_seal(sealed, key_80_to_9f, counter_nonce(0x0102030405060708), text("quorlin transport"), text("ad"));
    EXPECT_EQ(to_hex(sealed), "85c481c93cb335fd57c310e57d070aad87903711d78a3abdb0d04a068d17a249ae");
}

TEST(XChaCha20Poly1305, DraftVector) {
    // draft-irtf-cfrg-xchacha, appendix A.3.1.
    const auto nonce = array_from_hex<24>("404142434445464748494a4b4c4d4e4f5051525354555657");
    std::vector<std::uint8_t> sealed(sunscreen.size() + tag_bytes);
    xaead_seal(sealed, key_80_to_9f, nonce, text(sunscreen), sunscreen_ad);
    EXPECT_EQ(to_hex(sealed),
              "bd6d179d3e83d43b9576579493c0e939572a1700252bfaccbed2902c21396cbb731c7f1b0b4aa6440bf3a82f4eda7e39ae64c670"
              "8c54c216cb96b72e1213b4522f8c9ba40db5d945b11b69b982c1bb9e3f3fac2bc369488f76b2383565d3fff921f9664c97637da9"
              "768812f615c68b13b52e"
              "c0875924c1c7987947deafd8780acf49");
}

TEST(Aead, RefusesAnyAlteration) {
    const auto nonce = counter_nonce(7);
    XNonce xnonce{};
    xnonce[0] = 1;
    std::vector<std::uint8_t> sealed(sunscreen.size() + tag_bytes), xsealed(sealed.size());
    aead_seal(sealed, key_80_to_9f, nonce, text(sunscreen), sunscreen_ad);
    xaead_seal(xsealed, key_80_to_9f, xnonce, text(sunscreen), sunscreen_ad);
    std::vector<std::uint8_t> opened(sunscreen.size());

    for (std::size_t flip : {std::size_t{0}, sunscreen.size() / 2, sealed.size() - 1}) {
        auto bad = sealed;
        bad[flip] ^= 0x01;
        EXPECT_FALSE(aead_open(opened, key_80_to_9f, nonce, bad, sunscreen_ad)) << flip;
        auto xbad = xsealed;
        xbad[flip] ^= 0x01;
        EXPECT_FALSE(xaead_open(opened, key_80_to_9f, xnonce, xbad, sunscreen_ad)) << flip;
    }
    EXPECT_FALSE(aead_open(opened, key_80_to_9f, counter_nonce(8), sealed, sunscreen_ad));
    EXPECT_FALSE(aead_open(opened, key_80_to_9f, nonce, sealed, text("other")));
    EXPECT_FALSE(aead_open(opened, key_0_to_31, nonce, sealed, sunscreen_ad));
    EXPECT_FALSE(aead_open(opened, key_80_to_9f, nonce, Bytes(sealed).first(tag_bytes - 1), sunscreen_ad));
    ASSERT_TRUE(xaead_open(opened, key_80_to_9f, xnonce, xsealed, sunscreen_ad));
    EXPECT_EQ(std::string(opened.begin(), opened.end()), sunscreen);

    // An empty plaintext still carries a tag that must verify.
    std::array<std::uint8_t, tag_bytes> empty_sealed{};
    aead_seal(empty_sealed, key_80_to_9f, nonce, Bytes(), text("h"));
    EXPECT_TRUE(aead_open(std::span<std::uint8_t>(), key_80_to_9f, nonce, empty_sealed, text("h")));
    EXPECT_FALSE(aead_open(std::span<std::uint8_t>(), key_80_to_9f, nonce, empty_sealed, text("i")));
}

TEST(Tai64n, LabelledBigEndianSecondsThenNanoseconds) {
    EXPECT_EQ(to_hex(Tai64n::from_unix(0, 0).bytes), "400000000000000000000000");
    EXPECT_EQ(to_hex(Tai64n::from_unix(1700000000, 123456789).bytes), "400000006553f100075bcd15");
    EXPECT_EQ(to_hex(Tai64n::from_unix(-1, 999999999).bytes), "3fffffffffffffff3b9ac9ff");
    // Byte order is time order, across every field boundary.
    EXPECT_LT(Tai64n::from_unix(-1, 999999999), Tai64n::from_unix(0, 0));
    EXPECT_LT(Tai64n::from_unix(5, 999999999), Tai64n::from_unix(6, 0));
    EXPECT_LT(Tai64n::from_unix(255, 0), Tai64n::from_unix(256, 0));
    EXPECT_LT(Tai64n::from_unix(6, 255), Tai64n::from_unix(6, 256));
    const Tai64n earlier = Tai64n::now();
    EXPECT_GE(Tai64n::now(), earlier);
    EXPECT_GT(Tai64n::now(), Tai64n::from_unix(1700000000, 0));
}

}  // namespace
}  // namespace quorlin::wireguard
