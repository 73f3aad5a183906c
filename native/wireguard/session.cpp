#include "wireguard/session.hpp"

#include <algorithm>
#include <cstring>

#include "wireguard/messages.hpp"

namespace quorlin::wireguard {

std::size_t transport_message_size(std::size_t payload_bytes) noexcept {
    const std::size_t padded = (payload_bytes + transport::padding_multiple - 1) / transport::padding_multiple *
                               transport::padding_multiple;
    return transport::header_size + padded + tag_bytes;
}

std::optional<WireGuardError> ReplayWindow::check(std::uint64_t counter) const noexcept {
    if (counter >= reject_after_messages) return WireGuardError::InvalidCounter;
    if (counter > greatest_) return std::nullopt;
    const std::uint64_t age = greatest_ - counter;
    if (age >= window_size) return WireGuardError::InvalidCounter;
    if (seen_[age / word_bits] >> (age % word_bits) & 1u) return WireGuardError::DuplicateCounter;
    return std::nullopt;
}

void ReplayWindow::mark(std::uint64_t counter) noexcept {
    if (counter > greatest_) {
        const std::uint64_t shift = counter - greatest_;
        if (shift >= window_size) {
            seen_.fill(0);
        } else {
            // Move every bit `shift` places towards older ages.
            const std::size_t words = shift / word_bits;
            const std::size_t bits = shift % word_bits;
            for (std::size_t i = seen_.size(); i-- > 0;) {
                std::uint64_t moved = 0;
                if (i >= words) {
                    moved = seen_[i - words] << bits;
                    if (bits != 0 && i >= words + 1) moved |= seen_[i - words - 1] >> (word_bits - bits);
                }
                seen_[i] = moved;
            }
        }
        greatest_ = counter;
    }
    const std::uint64_t age = greatest_ - counter;
    if (age < window_size) seen_[age / word_bits] |= std::uint64_t{1} << (age % word_bits);
}

Session::Session(const TransportKeys& keys, Instant established_at) noexcept
    : keys_(keys), established_at_(established_at) {}

bool Session::expired(Instant now) const noexcept {
    return now - established_at_ >= reject_after_time || sending_counter_ >= reject_after_messages;
}

std::expected<std::size_t, WireGuardError> Session::seal(std::span<const std::uint8_t> payload,
                                                         std::span<std::uint8_t> out) noexcept {
    if (sending_counter_ >= reject_after_messages) return std::unexpected(WireGuardError::ConnectionExpired);
    const std::size_t size = transport_message_size(payload.size());
    if (out.size() < size) return std::unexpected(WireGuardError::DestinationBufferTooSmall);
    const std::size_t padded = size - transport::header_size - tag_bytes;
    auto body = out.subspan(transport::packet_offset, padded);
    if (!payload.empty()) std::memmove(body.data(), payload.data(), payload.size());
    std::fill(body.begin() + static_cast<std::ptrdiff_t>(payload.size()), body.end(), 0);

    const std::uint64_t counter = sending_counter_++;
    store_type(out, MessageType::TransportData);
    store_le32(out, transport::receiver_offset, keys_.remote_index);
    store_le64(out, transport::counter_offset, counter);
    aead_seal(out.subspan(transport::packet_offset, padded + tag_bytes), keys_.sending_key.view(),
              counter_nonce(counter), body, Bytes());
    return size;
}

std::expected<std::span<std::uint8_t>, WireGuardError> Session::open(std::span<const std::uint8_t> message,
                                                                     std::span<std::uint8_t> out,
                                                                     Instant now) noexcept {
    if (now - established_at_ >= reject_after_time) return std::unexpected(WireGuardError::ConnectionExpired);
    const std::uint64_t counter = load_le64(message, transport::counter_offset);
    if (const auto refused = window_.check(counter)) return std::unexpected(*refused);
    const std::size_t plaintext_bytes = message.size() - transport::min_size;
    if (out.size() < plaintext_bytes) return std::unexpected(WireGuardError::DestinationBufferTooSmall);
    auto plaintext = out.first(plaintext_bytes);
    if (!aead_open(plaintext, keys_.receiving_key.view(), counter_nonce(counter),
                   message.subspan(transport::packet_offset), Bytes())) {
        return std::unexpected(WireGuardError::InvalidAeadTag);
    }
    window_.mark(counter);
    return plaintext;
}

}  // namespace quorlin::wireguard
