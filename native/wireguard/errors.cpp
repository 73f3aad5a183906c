#include "wireguard/errors.hpp"

#include <array>

namespace quorlin::wireguard {

namespace {

constexpr std::array<std::string_view, wireguard_error_count> names = {
    "DestinationBufferTooSmall",
    "IncorrectPacketLength",
    "UnexpectedPacket",
    "WrongPacketType",
    "WrongIndex",
    "WrongKey",
    "InvalidTai64nTimestamp",
    "WrongTai64nTimestamp",
    "InvalidMac",
    "InvalidAeadTag",
    "InvalidCounter",
    "DuplicateCounter",
    "InvalidPacket",
    "NoCurrentSession",
    "LockFailed",
    "ConnectionExpired",
    "UnderLoad",
};

static_assert(static_cast<std::size_t>(WireGuardError::UnderLoad) + 1 == wireguard_error_count);

}  // namespace

std::string_view error_name(WireGuardError error) noexcept {
    const auto position = static_cast<std::size_t>(error);
    return position < names.size() ? names[position] : std::string_view("UnknownError");
}

}  // namespace quorlin::wireguard
