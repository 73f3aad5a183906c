#include "wireguard/tunnel.hpp"

// Placeholder bodies with the final signatures; the protocol follows.

namespace quorlin::wireguard {

struct TunnelState {
    std::array<std::uint8_t, 32> static_public{};
    std::optional<std::uint16_t> persistent_keepalive;
};

Tunn::Tunn(KeyView, KeyView, std::optional<KeyView>, std::optional<std::uint16_t> persistent_keepalive,
           std::uint32_t, std::shared_ptr<RateLimiter>)
    : state_(std::make_unique<TunnelState>()) {
    state_->persistent_keepalive = persistent_keepalive;
}
Tunn::~Tunn() = default;
Tunn::Tunn(Tunn&&) noexcept = default;
Tunn& Tunn::operator=(Tunn&&) noexcept = default;

TunnResult Tunn::format_handshake_initiation(std::span<std::uint8_t>, bool) {
    return TunnResult::err(WireGuardError::NoCurrentSession);
}
TunnResult Tunn::decapsulate(std::optional<IpAddress>, std::span<const std::uint8_t>, std::span<std::uint8_t>) {
    return TunnResult::err(WireGuardError::InvalidPacket);
}
TunnResult Tunn::encapsulate(std::span<const std::uint8_t>, std::span<std::uint8_t>) {
    return TunnResult::err(WireGuardError::NoCurrentSession);
}
std::array<std::uint8_t, 32> Tunn::static_public_key() const noexcept { return state_->static_public; }
std::optional<std::uint16_t> Tunn::persistent_keepalive() const noexcept { return state_->persistent_keepalive; }

}  // namespace quorlin::wireguard
