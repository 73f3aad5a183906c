#pragma once
// The engine's failure values. Their names are shown to users unchanged, so the
// order and spelling below are part of the interface.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorlin::wireguard {

enum class WireGuardError : std::uint8_t {
    DestinationBufferTooSmall,
    IncorrectPacketLength,
    UnexpectedPacket,
    WrongPacketType,
    WrongIndex,
    WrongKey,
    InvalidTai64nTimestamp,
    WrongTai64nTimestamp,
    InvalidMac,
    InvalidAeadTag,
    InvalidCounter,
    DuplicateCounter,
    InvalidPacket,
    NoCurrentSession,
    LockFailed,
    ConnectionExpired,
    UnderLoad,
};

inline constexpr std::size_t wireguard_error_count = 17;

// The error's name exactly as spelled above, e.g. "InvalidMac".
std::string_view error_name(WireGuardError error) noexcept;

}  // namespace quorlin::wireguard
