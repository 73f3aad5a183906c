#pragma once
// The sending half of one TCP connection: the bytes queued and not yet
// acknowledged, where sending stands (the first unacknowledged byte and the
// next new one), and the peer's window. Stream positions are kept as 64-bit
// offsets from the first data byte; sequence numbers are derived from them,
// so only acknowledgments are compared modulo 2^32.

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace quorlin {

struct TcpOutgoingSegment {
    std::uint32_t sequence = 0;
    std::vector<std::uint8_t> bytes;
};

class TcpSendQueue {
public:
    // The peer's SYN-ACK: our initial sequence number, its window and the
    // sequence and acknowledgment numbers that set it.
    TcpSendQueue(std::uint32_t initial_sequence, std::uint16_t window, std::uint32_t window_sequence,
                 std::uint32_t window_acknowledgment) noexcept;

    void push(std::span<const std::uint8_t> data);

    enum class Ack : std::uint8_t { advanced, not_new, too_old, not_sent };
    // An acknowledgment (and the window it carries) from a segment with
    // sequence number `sequence`. Past the last byte sent it is not_sent, and
    // older than a window before the first unacknowledged byte too_old: in
    // both cases nothing changes.
    Ack acknowledge(std::uint32_t sequence, std::uint32_t acknowledgment, std::uint16_t window) noexcept;

    // New data the peer's window allows, at most `max_bytes` of it.
    std::optional<TcpOutgoingSegment> next_segment(std::size_t max_bytes);
    // On the retransmission timer: the first unacknowledged segment, or, when
    // nothing is in flight and the peer's window is closed, one byte past it
    // (a probe that the peer answers with its current window).
    std::optional<TcpOutgoingSegment> retransmission(std::size_t max_bytes);

    std::uint32_t next_sequence() const noexcept { return sequence_of(next_); }
    std::uint64_t unacknowledged_offset() const noexcept { return unacknowledged_; }
    std::uint64_t next_offset() const noexcept { return next_; }
    bool in_flight() const noexcept { return next_ != unacknowledged_; }
    bool unsent() const noexcept { return unacknowledged_ + bytes_.size() > next_; }
    std::uint16_t peer_window() const noexcept { return window_; }

private:
    std::uint32_t sequence_of(std::uint64_t offset) const noexcept {
        return static_cast<std::uint32_t>(first_sequence_ + offset);
    }
    TcpOutgoingSegment segment_at(std::uint64_t offset, std::size_t length) const;

    std::uint32_t first_sequence_;
    std::uint64_t unacknowledged_ = 0;
    std::uint64_t next_ = 0;
    std::deque<std::uint8_t> bytes_;  // from the first unacknowledged byte
    std::uint16_t window_;
    std::uint16_t max_window_;
    std::uint32_t window_sequence_;
    std::uint32_t window_acknowledgment_;
};

}  // namespace quorlin
