#pragma once
// TCP's retransmission timer as RFC 6298 computes it: a smoothed round trip
// and its variation from samples of segments sent once (never of a
// retransmitted one), the timeout derived from them, at least a second and
// at most a minute, doubled on each expiry.

#include "common/clock.hpp"

#include <chrono>
#include <optional>

namespace quorlin {

// TCP's initial retransmission timeout.
inline constexpr std::chrono::seconds tcp_initial_retransmission_timeout{1};

class TcpRetransmissionTimer {
public:
    static constexpr std::chrono::seconds minimum_timeout{1};
    static constexpr std::chrono::seconds maximum_timeout{60};
    // When the SYN had to be sent again and no sample came since.
    static constexpr std::chrono::seconds timeout_after_syn_retransmission{3};

    Clock::duration timeout() const noexcept { return timeout_; }
    // When it fires, if running.
    std::optional<Instant> expiry() const noexcept { return expiry_; }
    bool expired(Instant now) const noexcept { return expiry_ && now >= *expiry_; }

    void start(Instant now) noexcept { expiry_ = now + timeout_; }
    void stop() noexcept { expiry_.reset(); }
    // Fired: the next wait is twice as long.
    void back_off() noexcept { timeout_ = std::min<Clock::duration>(timeout_ * 2, maximum_timeout); }
    // A round trip measured on a segment sent once.
    void sample(Clock::duration round_trip) noexcept;
    // Data transmission begins after a handshake whose SYN was retransmitted.
    void after_syn_retransmission() noexcept;

private:
    Clock::duration timeout_ = tcp_initial_retransmission_timeout;
    std::optional<Clock::duration> smoothed_;
    Clock::duration variation_{};
    std::optional<Instant> expiry_;
};

}  // namespace quorlin
