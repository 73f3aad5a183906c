#pragma once
// Load signal for the responder role: while a limiter reports load, handshake
// messages are only processed when they carry a valid MAC2 (a cookie bound to
// their source address); the others are answered with a cookie reply.

#include <optional>

#include "common/clock.hpp"
#include "wireguard/ip_address.hpp"

namespace quorlin::wireguard {

class RateLimiter {
public:
    virtual ~RateLimiter() = default;
    // Whether a handshake message from `source` (absent when the caller does
    // not know it) must prove its address with a cookie first.
    virtual bool is_under_load(const std::optional<IpAddress>& source, Instant now) noexcept = 0;
};

}  // namespace quorlin::wireguard
