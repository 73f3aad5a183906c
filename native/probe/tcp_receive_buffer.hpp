#pragma once
// The receiving half of one TCP connection: a fixed buffer of one window,
// holding the in-order bytes not yet read and, after them, segments that came
// early (so that a lost segment costs one retransmission, not the rest of the
// window), until the gap is filled. Stream positions are 64-bit offsets from
// the peer's first data byte.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorlin {

class TcpReceiveBuffer {
public:
    // The most a window field can offer without window scaling.
    static constexpr std::size_t capacity = 65535;

    // Never more than `limit_bytes` of the stream are taken.
    explicit TcpReceiveBuffer(std::uint64_t limit_bytes);

    // Places a segment's bytes that start at stream offset `offset` (before
    // next() for a segment that repeats some): what lies in the window is
    // kept, the rest dropped. A FIN is kept when the whole segment fits.
    // True when the segment carried bytes past the limit.
    bool place(std::int64_t offset, std::span<const std::uint8_t> payload, bool fin);

    // Copies in-order bytes out; the count.
    std::size_t read(std::span<std::uint8_t> out) noexcept;

    std::size_t readable() const noexcept { return static_cast<std::size_t>(next_ - read_); }
    // The offset of the next byte expected in order: the bytes received in all.
    std::uint64_t next() const noexcept { return next_; }
    bool fin_received() const noexcept { return fin_ && next_ == *fin_; }
    // The room left; its right edge never moves back.
    std::uint16_t window() const noexcept { return static_cast<std::uint16_t>(capacity - readable()); }

private:
    std::vector<std::uint8_t> bytes_;
    std::vector<bool> held_;  // bytes past next() that came early
    std::uint64_t read_ = 0;
    std::uint64_t next_ = 0;
    std::optional<std::uint64_t> fin_;
    std::uint64_t limit_;
};

}  // namespace quorlin
