#pragma once
// One transport session: the keys a handshake produced, the sending counter
// and the receiving replay window.

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>

#include "common/clock.hpp"
#include "wireguard/crypto.hpp"
#include "wireguard/errors.hpp"
#include "wireguard/handshake.hpp"

namespace quorlin::wireguard {

// A session is never used past this age, nor for more than this many messages.
inline constexpr std::chrono::seconds reject_after_time{180};
inline constexpr std::uint64_t reject_after_messages =
    std::numeric_limits<std::uint64_t>::max() - (std::uint64_t{1} << 13);  // 2^64 - 2^13 - 1

// Transport message size for a payload: header, payload padded to a multiple
// of 16, tag.
std::size_t transport_message_size(std::size_t payload_bytes) noexcept;

// Which counters have been received, for the last `window_size` counters
// below the greatest one seen. Marked only after a message authenticates, so
// forged messages cannot move it.
class ReplayWindow {
public:
    static constexpr std::uint64_t window_size = 2048;

    // InvalidCounter for a counter at or past reject_after_messages or too old
    // for the window, DuplicateCounter for one already received.
    std::optional<WireGuardError> check(std::uint64_t counter) const noexcept;
    void mark(std::uint64_t counter) noexcept;

private:
    static constexpr std::size_t word_bits = 64;
    // Bit i records counter (greatest_ - i). Before any message greatest_ is 0
    // with no bit set, which already accepts every counter once.
    std::array<std::uint64_t, window_size / word_bits> seen_{};
    std::uint64_t greatest_ = 0;
};

class Session {
public:
    Session(const TransportKeys& keys, Instant established_at) noexcept;

    std::uint32_t local_index() const noexcept { return keys_.local_index; }
    std::uint32_t remote_index() const noexcept { return keys_.remote_index; }
    // Past reject_after_time, or out of sending counters.
    bool expired(Instant now) const noexcept;

    // Writes one transport message carrying `payload` into `out`; returns its
    // size. `payload` may lie anywhere, even inside `out`.
    std::expected<std::size_t, WireGuardError> seal(std::span<const std::uint8_t> payload,
                                                    std::span<std::uint8_t> out) noexcept;

    // Verifies and decrypts a transport message addressed to this session into
    // `out`; returns the plaintext (padding included, possibly empty).
    std::expected<std::span<std::uint8_t>, WireGuardError> open(std::span<const std::uint8_t> message,
                                                                std::span<std::uint8_t> out, Instant now) noexcept;

private:
    TransportKeys keys_;
    Instant established_at_;
    std::uint64_t sending_counter_ = 0;
    ReplayWindow window_;
};

}  // namespace quorlin::wireguard
