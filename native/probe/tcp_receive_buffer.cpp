#include "probe/tcp_receive_buffer.hpp"

#include <algorithm>

namespace quorlin {

TcpReceiveBuffer::TcpReceiveBuffer(std::uint64_t limit_bytes)
    : bytes_(capacity), held_(capacity, false), limit_(limit_bytes) {}

bool TcpReceiveBuffer::place(std::int64_t offset, std::span<const std::uint8_t> payload, bool fin) {
    const std::int64_t end = offset + static_cast<std::int64_t>(payload.size());
    const std::uint64_t window_end = read_ + capacity;
    std::int64_t from = std::max(offset, static_cast<std::int64_t>(next_));
    std::int64_t to = std::min(end, static_cast<std::int64_t>(window_end));
    if (fin_) to = std::min(to, static_cast<std::int64_t>(*fin_));  // nothing after the end of the stream
    bool past_limit = false;
    if (to > static_cast<std::int64_t>(limit_)) {
        past_limit = to > from;
        to = static_cast<std::int64_t>(limit_);
    }
    for (std::int64_t at = from; at < to; ++at) {
        const auto slot = static_cast<std::size_t>(static_cast<std::uint64_t>(at) % capacity);
        bytes_[slot] = payload[static_cast<std::size_t>(at - offset)];
        held_[slot] = true;
    }
    if (fin && !fin_ && !past_limit && end >= static_cast<std::int64_t>(next_) &&
        end <= static_cast<std::int64_t>(window_end)) {
        fin_ = static_cast<std::uint64_t>(end);
    }
    while (next_ < window_end && held_[next_ % capacity] && (!fin_ || next_ < *fin_)) {
        held_[next_ % capacity] = false;
        ++next_;
    }
    return past_limit;
}

std::size_t TcpReceiveBuffer::read(std::span<std::uint8_t> out) noexcept {
    const std::size_t count = std::min(out.size(), readable());
    for (std::size_t i = 0; i < count; ++i) out[i] = bytes_[(read_ + i) % capacity];
    read_ += count;
    return count;
}

}  // namespace quorlin
