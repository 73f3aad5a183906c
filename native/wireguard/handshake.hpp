#pragma once
// The Noise_IKpsk2 handshake in both roles, message bodies only: the MAC
// fields are the cookie layer's (cookie.hpp) and the tunnel applies them.
//
//   initiator                              responder
//   write_initiation  -- initiation -->    read_initiation
//   read_response     <-- response ---     write_response
//
// Each step returns the transport keys once the handshake is complete. All
// chaining keys, hashes, ephemeral secrets and Diffie-Hellman results live in
// wiped storage.

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
#include "wireguard/messages.hpp"
#include "wireguard/tai64n.hpp"

namespace quorlin::wireguard {

inline constexpr std::string_view noise_construction = "Noise_IKpsk2_25519_ChaChaPoly_BLAKE2s";
inline constexpr std::string_view wireguard_identifier = "WireGuard v1 zx2c4 Jason@zx2c4.com";

// An initiation is not repeated (unless forced) before this much time has passed.
inline constexpr std::chrono::seconds rekey_timeout{5};

// A responder admits at most 50 initiations a second from one key: one that
// follows the last it accepted from that key within this time is ignored.
inline constexpr std::chrono::milliseconds initiation_rate_limit{20};

// The tunnel's long-lived keys and what it precomputes from them.
struct StaticIdentity {
    SecretArray<key_bytes> private_key;
    std::array<std::uint8_t, key_bytes> public_key{};
    std::array<std::uint8_t, key_bytes> peer_public_key{};
    SecretArray<key_bytes> preshared_key;  // all zero when none is configured, as the protocol says
    SecretArray<key_bytes> static_static;  // DH(private_key, peer_public_key)
    bool static_static_valid = false;      // false when that secret is all zero

    // `public_key_bytes` is the public key of `private_key_bytes`, derived by the caller.
    StaticIdentity(KeyView private_key_bytes, KeyView public_key_bytes, KeyView peer_public_key_bytes,
                   std::optional<KeyView> preshared_key_bytes) noexcept;
};

// The keys a completed handshake yields, and the indices that name the session.
struct TransportKeys {
    std::uint32_t local_index = 0;
    std::uint32_t remote_index = 0;
    SecretArray<key_bytes> sending_key;
    SecretArray<key_bytes> receiving_key;
};

// One initiation we sent and still wait to have answered.
struct InitiationState {
    std::uint32_t local_index = 0;
    SecretArray<key_bytes> ephemeral_private;
    SecretArray<key_bytes> chaining_key;
    SecretArray<hash_bytes> hash;
    Instant sent_at{};
    std::array<std::uint8_t, mac_bytes> mac1{};  // a cookie reply to this initiation is bound to it
};

// An authenticated initiation from the peer, ready to be answered.
struct PeerInitiation {
    std::uint32_t remote_index = 0;
    std::array<std::uint8_t, key_bytes> remote_ephemeral{};
    Tai64n timestamp;
    SecretArray<key_bytes> chaining_key;
    SecretArray<hash_bytes> hash;
};

using InitiationMessage = std::span<std::uint8_t, initiation::size>;
using ResponseMessage = std::span<std::uint8_t, response::size>;

// Writes type, sender index, ephemeral key, encrypted static key and encrypted
// timestamp; mac1 and mac2 are left zero. Fails with WrongKey when the peer's
// key gives an all-zero shared secret.
std::expected<InitiationState, WireGuardError> write_initiation(const StaticIdentity& identity,
                                                                std::uint32_t local_index,
                                                                const Tai64n& timestamp,
                                                                InitiationMessage out) noexcept;

// Completes our handshake from the peer's response (MACs already checked).
// WrongIndex when it answers another initiation, InvalidAeadTag when it does
// not authenticate, WrongKey for a low-order ephemeral key.
std::expected<TransportKeys, WireGuardError> read_response(const StaticIdentity& identity,
                                                           const InitiationState& initiation,
                                                           std::span<const std::uint8_t, response::size> message) noexcept;

// Authenticates the peer's initiation (MACs already checked). WrongKey when it
// comes from another static key, InvalidAeadTag when it does not decrypt,
// WrongTai64nTimestamp unless its timestamp is later than `latest_timestamp`.
std::expected<PeerInitiation, WireGuardError> read_initiation(const StaticIdentity& identity,
                                                              std::span<const std::uint8_t, initiation::size> message,
                                                              const std::optional<Tai64n>& latest_timestamp) noexcept;

// Answers an initiation: writes the response body (MACs left zero) and
// returns the responder's transport keys.
std::expected<TransportKeys, WireGuardError> write_response(const StaticIdentity& identity,
                                                            const PeerInitiation& initiation,
                                                            std::uint32_t local_index, ResponseMessage out) noexcept;

}  // namespace quorlin::wireguard
