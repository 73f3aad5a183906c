#include "probe/tcp_retransmission_timer.hpp"

#include <algorithm>

namespace quorlin {

namespace {

// The clock's granularity in the timeout formula: the steady clock counts
// nanoseconds, far finer than any round trip.
constexpr Clock::duration granularity = std::chrono::milliseconds(1);

}  // namespace

void TcpRetransmissionTimer::sample(Clock::duration round_trip) noexcept {
    round_trip = std::max(round_trip, Clock::duration::zero());
    if (!smoothed_) {
        smoothed_ = round_trip;
        variation_ = round_trip / 2;
    } else {
        const Clock::duration error = *smoothed_ > round_trip ? *smoothed_ - round_trip : round_trip - *smoothed_;
        variation_ = (variation_ * 3 + error) / 4;
        smoothed_ = (*smoothed_ * 7 + round_trip) / 8;
    }
    const Clock::duration computed = *smoothed_ + std::max(granularity, variation_ * 4);
    timeout_ = std::clamp<Clock::duration>(computed, minimum_timeout, maximum_timeout);
}

void TcpRetransmissionTimer::after_syn_retransmission() noexcept {
    if (!smoothed_) timeout_ = std::max<Clock::duration>(timeout_, timeout_after_syn_retransmission);
}

}  // namespace quorlin
