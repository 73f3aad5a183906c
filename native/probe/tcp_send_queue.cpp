#include "probe/tcp_send_queue.hpp"

#include "probe/tcp_sequence.hpp"

#include <algorithm>

namespace quorlin {

using namespace tcp_sequence;

TcpSendQueue::TcpSendQueue(std::uint32_t initial_sequence, std::uint16_t window, std::uint32_t window_sequence,
                           std::uint32_t window_acknowledgment) noexcept
    : first_sequence_(initial_sequence + 1),
      window_(window),
      max_window_(window),
      window_sequence_(window_sequence),
      window_acknowledgment_(window_acknowledgment) {}

void TcpSendQueue::push(std::span<const std::uint8_t> data) { bytes_.insert(bytes_.end(), data.begin(), data.end()); }

TcpSendQueue::Ack TcpSendQueue::acknowledge(std::uint32_t sequence, std::uint32_t acknowledgment,
                                            std::uint16_t window) noexcept {
    const std::int32_t advance = distance(sequence_of(unacknowledged_), acknowledgment);
    if (advance > 0 && static_cast<std::uint64_t>(advance) > next_ - unacknowledged_) return Ack::not_sent;
    if (advance < 0 && -static_cast<std::int64_t>(advance) > max_window_) return Ack::too_old;
    if (advance > 0) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + advance);
        unacknowledged_ += static_cast<std::uint64_t>(advance);
    }
    // The window is taken from the newest segment only, so a reordered older
    // one cannot shrink it back.
    if (advance >= 0 && (before(window_sequence_, sequence) ||
                         (window_sequence_ == sequence && at_or_before(window_acknowledgment_, acknowledgment)))) {
        window_ = window;
        max_window_ = std::max(max_window_, window);
        window_sequence_ = sequence;
        window_acknowledgment_ = acknowledgment;
    }
    return advance > 0 ? Ack::advanced : Ack::not_new;
}

TcpOutgoingSegment TcpSendQueue::segment_at(std::uint64_t offset, std::size_t length) const {
    const auto from = bytes_.begin() + static_cast<std::ptrdiff_t>(offset - unacknowledged_);
    return {sequence_of(offset), std::vector<std::uint8_t>(from, from + static_cast<std::ptrdiff_t>(length))};
}

std::optional<TcpOutgoingSegment> TcpSendQueue::next_segment(std::size_t max_bytes) {
    const std::uint64_t window_end = unacknowledged_ + window_;
    if (window_end <= next_) return std::nullopt;
    const std::uint64_t queued_end = unacknowledged_ + bytes_.size();
    const std::uint64_t length = std::min<std::uint64_t>({max_bytes, window_end - next_, queued_end - next_});
    if (length == 0) return std::nullopt;
    TcpOutgoingSegment segment = segment_at(next_, static_cast<std::size_t>(length));
    next_ += length;
    return segment;
}

std::optional<TcpOutgoingSegment> TcpSendQueue::retransmission(std::size_t max_bytes) {
    if (max_bytes == 0) return std::nullopt;
    if (in_flight()) {
        return segment_at(unacknowledged_, static_cast<std::size_t>(std::min<std::uint64_t>(max_bytes, next_ - unacknowledged_)));
    }
    if (!unsent() || window_ != 0) return std::nullopt;
    TcpOutgoingSegment probe = segment_at(next_, 1);
    ++next_;
    return probe;
}

}  // namespace quorlin
