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

const auto key_0_to_31 = array_from_hex<32>("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");

TEST(Blake2s, MatchesKnownAnswers) {
    const char* abc = "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982";  // RFC 7693 appendix B
    std::array<std::uint8_t, 32> out{};
    hash(out, {text_bytes("abc")});
    EXPECT_EQ(to_hex(out), abc);
    hash(out, {text_bytes("a"), text_bytes(""), text_bytes("bc")});
    EXPECT_EQ(to_hex(out), abc) << "parts are concatenated";

    struct Keyed {
        std::size_t key_bytes;
        std::size_t out_bytes;
        const char* expected;
    };
    const Keyed keyed[] = {
        {32, 16, "0409270ce0b2ea6b556016eb73f45e4e"},  // mac1, and a cookie from its secret
        {16, 16, "5f2fb59e528d3c08283b76a7bc0c6065"},  // mac2, keyed with a cookie
    };
    for (const Keyed& c : keyed) {
        std::vector<std::uint8_t> mac_out(c.out_bytes);
        keyed_hash(mac_out, Bytes(key_0_to_31).first(c.key_bytes), {text_bytes("quor"), text_bytes("lin")});
        EXPECT_EQ(to_hex(mac_out), c.expected) << c.key_bytes << "-byte key, " << c.out_bytes << "-byte output";
    }
}

TEST(Kdf, HmacAndOutputsChainFromTheFirstHmac) {
    std::array<std::uint8_t, 32> a{}, b{}, c{};
    hmac(a, key_0_to_31, text_bytes("quorlin"));
    EXPECT_EQ(to_hex(a), "4ad5ea49d45e83df9bf8c0f731ec5fe27e74831d2b0fbec2281647759065cb35");

    const char* t1 = "956a29db4b89e5238db6a0bd71d9201d9935233fcb4e20a57236476c7b693e1b";
    const char* t2 = "6ba43973a27b6e3815d1e629dd9a6fa3ea3fc5f913021b08512fbf15f9017e9a";
    const char* t3 = "522a75f057ad723f2ceb9a5afca65579bfa640621038439f0509d0e727a52c5d";
    kdf1(a, key_0_to_31, text_bytes("quorlin"));
    EXPECT_EQ(to_hex(a), t1);
    kdf3(a, b, c, key_0_to_31, text_bytes("quorlin"));
    EXPECT_EQ(to_hex(a) + to_hex(b) + to_hex(c), std::string(t1) + t2 + t3);

    // The chaining key is replaced in place: an output aliasing the key.
    auto chaining = key_0_to_31;
    kdf2(chaining, b, chaining, Bytes());
    EXPECT_EQ(to_hex(chaining), "7a38c34bf2b8738d7374ca77c44ecb309a11d2b2528304fa86052c365e722624");
    EXPECT_EQ(to_hex(b), "1a17621f346abdc520746a9fb64d8eb03231d674fc15687537b0780fd9c060fd");
}

TEST(Kdf, ProtocolInitialChainingKeyAndHash) {
    std::array<std::uint8_t, 32> chaining{}, initial_hash{};
    hash(chaining, {text_bytes(noise_construction)});
    hash(initial_hash, {chaining, text_bytes(wireguard_identifier)});
    EXPECT_EQ(to_hex(chaining), "60e26daef327efc02ec335e2a025d2d016eb4206f87277f52d38d1988b78cd36");
    EXPECT_EQ(to_hex(initial_hash), "2211b361081ac566691243db458ad5322d9c6c662293e8b70ee19c65ba079ef3");
}

TEST(X25519, Rfc7748VectorsAndLowOrderPoints) {
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

    const char* low_order[] = {
        "0000000000000000000000000000000000000000000000000000000000000000",  // order 1 (u = 0)
        "0100000000000000000000000000000000000000000000000000000000000000",  // order 4 (u = 1)
        "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",  // order 8
    };
    for (const char* hex : low_order) {
        out.fill(0xaa);
        EXPECT_FALSE(x25519(out, testing::alice_private, array_from_hex<32>(hex))) << hex;
        EXPECT_EQ(out, (std::array<std::uint8_t, 32>{})) << "a refused result is zeroed";
    }
}

const std::string sunscreen =
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen would be "
    "it.";
const auto key_80_to_9f = array_from_hex<32>("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
const auto sunscreen_ad = from_hex("50515253c0c1c2c3c4c5c6c7");

TEST(Aead, Rfc8439AndXChaChaDraftVectorsAndShortInput) {
    const auto nonce = array_from_hex<12>("070000004041424344454647");
    std::vector<std::uint8_t> sealed(sunscreen.size() + tag_bytes);
    aead_seal(sealed, key_80_to_9f, nonce, text_bytes(sunscreen), sunscreen_ad);
    EXPECT_EQ(to_hex(sealed),
              "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a71de0a"
              "9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9d"
              "e576d26586cec64b6116"
              "1ae10b594f09e26a7e902ecbd0600691");
    std::vector<std::uint8_t> opened(sunscreen.size());
    ASSERT_TRUE(aead_open(opened, key_80_to_9f, nonce, sealed, sunscreen_ad));
    EXPECT_EQ(std::string(opened.begin(), opened.end()), sunscreen);

    // draft-irtf-cfrg-xchacha, appendix A.3.1.
    const auto xnonce = array_from_hex<24>("404142434445464748494a4b4c4d4e4f5051525354555657");
    xaead_seal(sealed, key_80_to_9f, xnonce, text_bytes(sunscreen), sunscreen_ad);
    EXPECT_EQ(to_hex(sealed),
              "bd6d179d3e83d43b9576579493c0e939572a1700252bfaccbed2902c21396cbb731c7f1b0b4aa6440bf3a82f4eda7e39ae64c670"
              "8c54c216cb96b72e1213b4522f8c9ba40db5d945b11b69b982c1bb9e3f3fac2bc369488f76b2383565d3fff921f9664c97637da9"
              "768812f615c68b13b52e"
              "c0875924c1c7987947deafd8780acf49");
    ASSERT_TRUE(xaead_open(opened, key_80_to_9f, xnonce, sealed, sunscreen_ad));
    EXPECT_EQ(std::string(opened.begin(), opened.end()), sunscreen);

    // Alterations are refused by the tunnel's handshake and transport tests;
    // what is left to the wrappers is input too short to hold a tag.
    EXPECT_FALSE(aead_open(std::span<std::uint8_t>(), key_80_to_9f, nonce, Bytes(sealed).first(tag_bytes - 1),
                           sunscreen_ad));
    EXPECT_FALSE(xaead_open(std::span<std::uint8_t>(), key_80_to_9f, xnonce, Bytes(sealed).first(tag_bytes - 1),
                            sunscreen_ad));

    // The protocol's nonce: four zero bytes, then the counter little-endian.
    EXPECT_EQ(to_hex(counter_nonce(0x0102030405060708)), "000000000807060504030201");
}

TEST(Tai64n, LabelledBigEndianSecondsThenNanoseconds) {
    EXPECT_EQ(to_hex(Tai64n::from_unix(0, 0).bytes), "400000000000000a00000000");
    EXPECT_EQ(to_hex(Tai64n::from_unix(1700000000, 123456789).bytes), "400000006553f10a075bcd15");
    EXPECT_EQ(to_hex(Tai64n::from_unix(-1, 999999999).bytes), "40000000000000093b9ac9ff");
    EXPECT_GT(Tai64n::now(), Tai64n::from_unix(1700000000, 0)) << "the wall clock, not the monotonic one";
}

}  // namespace
}  // namespace quorlin::wireguard
