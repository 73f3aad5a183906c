#pragma once
// The MAC layer of handshake messages and the cookie mechanism.
//
// mac1 = MAC(HASH("mac1----" || receiver's static public), message up to mac1)
//   proves the sender knows the receiver's public key; always present.
// mac2 = MAC(cookie, message up to mac2), or zeros without a fresh cookie.
//
// A responder under load answers a handshake message whose mac2 is not valid
// with a cookie reply: the cookie MAC(R, source address), R being a random
// secret renewed every two minutes, encrypted with XChaCha20-Poly1305 under
// HASH("cookie--" || responder's static public) and bound to the message's
// mac1 as associated data.

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "common/clock.hpp"
#include "common/secret.hpp"
#include "wireguard/crypto.hpp"
#include "wireguard/errors.hpp"
#include "wireguard/ip_address.hpp"
#include "wireguard/messages.hpp"

namespace quorlin::wireguard {

inline constexpr std::string_view label_mac1 = "mac1----";
inline constexpr std::string_view label_cookie = "cookie--";

// A held cookie is used for mac2 while younger than this; the responder's
// cookie secret is renewed after the same time.
inline constexpr std::chrono::seconds cookie_max_age{120};
inline constexpr std::chrono::seconds cookie_secret_max_age{120};

inline constexpr std::size_t cookie_bytes = mac_bytes;

using Mac = std::array<std::uint8_t, mac_bytes>;

// The two keys derived from one party's static public key: what messages *to*
// that party are MACed with, and what cookie replies *from* it are sealed with.
struct MacKeys {
    std::array<std::uint8_t, hash_bytes> mac1_key{};
    std::array<std::uint8_t, key_bytes> cookie_key{};

    static MacKeys for_receiver(KeyView receiver_public_key) noexcept;
};

// Where mac1 and mac2 sit in a handshake message (initiation or response).
struct MacLayout {
    std::size_t mac1_offset;
    std::size_t mac2_offset;
};
inline constexpr MacLayout initiation_macs{initiation::mac1_offset, initiation::mac2_offset};
inline constexpr MacLayout response_macs{response::mac1_offset, response::mac2_offset};

bool mac1_valid(std::span<const std::uint8_t> message, MacLayout layout, const MacKeys& receiver) noexcept;
bool mac2_valid(std::span<const std::uint8_t> message, MacLayout layout,
                std::span<const std::uint8_t, cookie_bytes> cookie) noexcept;
Mac mac1_of(std::span<const std::uint8_t> message, MacLayout layout) noexcept;

// The cookie most recently received from the peer (initiator side).
class HeldCookie {
public:
    void store(std::span<const std::uint8_t, cookie_bytes> cookie, Instant received_at) noexcept;
    // Present while younger than cookie_max_age.
    std::optional<std::span<const std::uint8_t, cookie_bytes>> fresh(Instant now) const noexcept;

private:
    SecretArray<cookie_bytes> cookie_;
    std::optional<Instant> received_at_;
};

// Fills mac1 for the receiver, and mac2 with the held cookie when it is fresh
// (zeros otherwise). Returns mac1, which a cookie reply will be bound to.
Mac seal_macs(std::span<std::uint8_t> message, MacLayout layout, const MacKeys& receiver, const HeldCookie& cookie,
              Instant now) noexcept;

// The responder's side: the secret the cookies it hands out derive from.
class CookieIssuer {
public:
    // MAC(R, source address), renewing R once it is cookie_secret_max_age old.
    void cookie_for(std::span<std::uint8_t, cookie_bytes> cookie, const IpAddress& source, Instant now) noexcept;

    // A 64-byte cookie reply to a handshake message from `source` that had
    // sender index `receiver_index` and mac1 `message_mac1`; `own_keys` are
    // derived from our own static public key.
    void write_reply(std::span<std::uint8_t, cookie_reply::size> out, std::uint32_t receiver_index,
                     const Mac& message_mac1, const IpAddress& source, const MacKeys& own_keys, Instant now) noexcept;

private:
    SecretArray<key_bytes> secret_;
    std::optional<Instant> secret_born_;
};

// Decrypts the cookie of a reply from the peer (`peer_keys` derived from the
// peer's static public key) to the message we sent with `sent_mac1`.
// InvalidAeadTag when it does not authenticate.
std::expected<void, WireGuardError> open_cookie_reply(std::span<const std::uint8_t, cookie_reply::size> reply,
                                                      const MacKeys& peer_keys, const Mac& sent_mac1,
                                                      SecretArray<cookie_bytes>& cookie) noexcept;

}  // namespace quorlin::wireguard
