#pragma once
// The four message layouts on the wire. Every message starts with a 4-byte
// little-endian type (one type byte, three zero bytes); indices and counters
// are little-endian too.

#include <cstddef>
#include <cstdint>
#include <span>

#include "wireguard/crypto.hpp"
#include "wireguard/tai64n.hpp"

namespace quorlin::wireguard {

enum class MessageType : std::uint32_t {
    HandshakeInitiation = 1,
    HandshakeResponse = 2,
    CookieReply = 3,
    TransportData = 4,
};

// Every message: type at 0.
inline constexpr std::size_t type_offset = 0;
inline constexpr std::size_t type_bytes = 4;

// Handshake initiation: sender, unencrypted ephemeral, encrypted static,
// encrypted timestamp, mac1, mac2.
namespace initiation {
inline constexpr std::size_t sender_offset = 4;
inline constexpr std::size_t ephemeral_offset = 8;
inline constexpr std::size_t static_offset = ephemeral_offset + key_bytes;                // 40
inline constexpr std::size_t static_bytes = key_bytes + tag_bytes;                        // 48
inline constexpr std::size_t timestamp_offset = static_offset + static_bytes;             // 88
inline constexpr std::size_t timestamp_bytes = tai64n_bytes + tag_bytes;                  // 28
inline constexpr std::size_t mac1_offset = timestamp_offset + timestamp_bytes;            // 116
inline constexpr std::size_t mac2_offset = mac1_offset + mac_bytes;                       // 132
inline constexpr std::size_t size = mac2_offset + mac_bytes;                              // 148
static_assert(size == 148);
}  // namespace initiation

// Handshake response: sender, receiver, unencrypted ephemeral, encrypted
// nothing (a bare tag), mac1, mac2.
namespace response {
inline constexpr std::size_t sender_offset = 4;
inline constexpr std::size_t receiver_offset = 8;
inline constexpr std::size_t ephemeral_offset = 12;
inline constexpr std::size_t empty_offset = ephemeral_offset + key_bytes;                 // 44
inline constexpr std::size_t empty_bytes = tag_bytes;                                     // 16
inline constexpr std::size_t mac1_offset = empty_offset + empty_bytes;                    // 60
inline constexpr std::size_t mac2_offset = mac1_offset + mac_bytes;                       // 76
inline constexpr std::size_t size = mac2_offset + mac_bytes;                              // 92
static_assert(size == 92);
}  // namespace response

// Cookie reply: receiver, nonce, encrypted cookie.
namespace cookie_reply {
inline constexpr std::size_t receiver_offset = 4;
inline constexpr std::size_t nonce_offset = 8;
inline constexpr std::size_t cookie_offset = nonce_offset + xnonce_bytes;                 // 32
inline constexpr std::size_t cookie_bytes = mac_bytes + tag_bytes;                        // 32
inline constexpr std::size_t size = cookie_offset + cookie_bytes;                         // 64
static_assert(size == 64);
}  // namespace cookie_reply

// Transport data: receiver, counter, encrypted packet (padded plaintext + tag).
namespace transport {
inline constexpr std::size_t receiver_offset = 4;
inline constexpr std::size_t counter_offset = 8;
inline constexpr std::size_t packet_offset = 16;
inline constexpr std::size_t header_size = packet_offset;
inline constexpr std::size_t min_size = header_size + tag_bytes;                          // 32, a keepalive
inline constexpr std::size_t padding_multiple = 16;
static_assert(min_size == 32);
}  // namespace transport

inline std::uint32_t load_le32(std::span<const std::uint8_t> bytes, std::size_t offset) noexcept {
    return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

inline std::uint64_t load_le64(std::span<const std::uint8_t> bytes, std::size_t offset) noexcept {
    return static_cast<std::uint64_t>(load_le32(bytes, offset)) |
           static_cast<std::uint64_t>(load_le32(bytes, offset + 4)) << 32;
}

inline void store_le32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) noexcept {
    for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void store_le64(std::span<std::uint8_t> bytes, std::size_t offset, std::uint64_t value) noexcept {
    for (std::size_t i = 0; i < 8; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void store_type(std::span<std::uint8_t> bytes, MessageType type) noexcept {
    store_le32(bytes, type_offset, static_cast<std::uint32_t>(type));
}

}  // namespace quorlin::wireguard
