#pragma once
// The order in which a fleet's probes start. Probes that share both client
// key and peer key never run at once, and start at least `spacing` apart:
// the peer ignores a second initiation from one key within about 20 ms of the
// last, so two such probes close together would lose one of them. Apart from
// that, targets start in the order given, as soon as a worker asks.
//
// Thread-safe: workers call next() and finished() from their own threads.
// Memory grows with the targets and key pairs given, not with the workers.

#include "common/clock.hpp"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <queue>
#include <stop_token>
#include <utility>
#include <vector>

namespace quorlin::fleet {

struct Turn {
    std::uint32_t target = 0;
    std::uint32_t key_pair = 0;
};

class KeySchedule {
public:
    // `turns` in the order to start them; every key_pair below key_pair_count.
    KeySchedule(std::vector<Turn> turns, std::uint32_t key_pair_count, Clock::duration spacing);

    // The next turn, once one may start; waits as long as every remaining
    // turn must. Nothing when none remain or a stop was requested.
    std::optional<Turn> next(std::stop_token stop);

    // The probe of a turn that next() gave has ended.
    void finished(Turn turn);

    std::size_t running() const;

private:
    static constexpr std::uint32_t none = UINT32_MAX;

    struct KeyPair {
        std::uint32_t head = none;  // its first turn not yet started, an index into turns_
        std::uint32_t tail = none;
        Instant not_before{};
    };
    // Min-heaps: pairs ready to start by their first turn's place in the
    // order; pairs still waiting out their spacing by the instant it ends.
    using ByPlace = std::pair<std::uint32_t, std::uint32_t>;
    using ByInstant = std::pair<Instant, std::uint32_t>;

    std::vector<Turn> turns_;
    std::vector<std::uint32_t> next_turn_;  // the same pair's next turn, or none
    std::vector<KeyPair> key_pairs_;
    std::priority_queue<ByPlace, std::vector<ByPlace>, std::greater<>> ready_;
    std::priority_queue<ByInstant, std::vector<ByInstant>, std::greater<>> spacing_;
    Clock::duration spacing_length_;
    std::size_t not_started_ = 0;
    std::size_t running_count_ = 0;
    std::uint64_t generation_ = 0;  // counts finished probes: a waiting worker looks again
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
};

}  // namespace quorlin::fleet
