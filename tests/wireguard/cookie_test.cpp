#include "wireguard/cookie.hpp"

#include <gtest/gtest.h>

#include "wireguard/test_support.hpp"

namespace quorlin::wireguard {
namespace {

using testing::to_hex;

TEST(MacKeys, DerivedFromTheLabelAndTheReceiversKey) {
    std::array<std::uint8_t, 32> base_point{};
    base_point[0] = 9;
    // HASH("mac1----" || key), computed independently.
    EXPECT_EQ(to_hex(MacKeys::for_receiver(base_point).mac1_key),
              "a58c8d76d9b6b46b858c5beeb096da9a6dbae987b17cd68b373a350547873779");
}

TEST(HandshakeMacs, Mac2OnlyWithACookieYoungerThanTwoMinutes) {
    const MacKeys receiver = MacKeys::for_receiver(testing::bob_public);
    const Instant now = Clock::now();
    std::array<std::uint8_t, initiation::size> message{};
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i);
    std::array<std::uint8_t, cookie_bytes> cookie{};
    cookie.fill(0x42);
    HeldCookie held;
    held.store(cookie, now);

    const Instant last_fresh = now + cookie_max_age - std::chrono::seconds(1);
    const Mac mac1 = seal_macs(message, initiation_macs, receiver, held, last_fresh);
    EXPECT_EQ(mac1, mac1_of(message, initiation_macs));
    EXPECT_TRUE(mac1_valid(message, initiation_macs, receiver));
    EXPECT_TRUE(mac2_valid(message, initiation_macs, cookie));
    seal_macs(message, initiation_macs, receiver, held, now + cookie_max_age);
    EXPECT_TRUE(mac1_valid(message, initiation_macs, receiver));
    EXPECT_EQ(to_hex(std::span(message).subspan(initiation::mac2_offset)), std::string(32, '0'))
        << "a stale cookie is not used";
}

TEST(CookieReply, CarriesTheIssuersCookieBoundToTheMessage) {
    const MacKeys responder = MacKeys::for_receiver(testing::bob_public);
    const Instant now = Clock::now();
    const auto source = IpAddress::v4(std::array<std::uint8_t, 4>{192, 0, 2, 1});
    Mac message_mac1{};
    message_mac1.fill(0x33);

    CookieIssuer issuer;
    std::array<std::uint8_t, cookie_reply::size> reply{};
    issuer.write_reply(reply, 0xa1b2c3d4, message_mac1, source, responder, now);
    EXPECT_EQ(to_hex(std::span(reply).first(8)), "03000000d4c3b2a1");

    SecretArray<cookie_bytes> cookie;
    ASSERT_TRUE(open_cookie_reply(reply, responder, message_mac1, cookie));
    std::array<std::uint8_t, cookie_bytes> expected{};
    issuer.cookie_for(expected, source, now);
    EXPECT_EQ(to_hex(cookie.view()), to_hex(expected));

    // The cookie depends on the address and is stable until the secret is renewed.
    std::array<std::uint8_t, cookie_bytes> other{};
    issuer.cookie_for(other, IpAddress::v4(std::array<std::uint8_t, 4>{192, 0, 2, 2}), now);
    EXPECT_NE(other, expected);
    issuer.cookie_for(other, source, now + cookie_secret_max_age - std::chrono::seconds(1));
    EXPECT_EQ(other, expected);
    issuer.cookie_for(other, source, now + cookie_secret_max_age);
    EXPECT_NE(other, expected);

    Mac other_mac1 = message_mac1;
    other_mac1[0] ^= 1;
    EXPECT_EQ(open_cookie_reply(reply, responder, other_mac1, cookie).error(), WireGuardError::InvalidAeadTag);
    EXPECT_EQ(to_hex(cookie.view()), std::string(32, '0')) << "a refused cookie is not kept";
    EXPECT_EQ(open_cookie_reply(reply, MacKeys::for_receiver(testing::alice_public), message_mac1, cookie).error(),
              WireGuardError::InvalidAeadTag);
}

}  // namespace
}  // namespace quorlin::wireguard
