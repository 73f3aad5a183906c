#pragma once
// The order in which a fleet's probes start: targets in the order given, as
// soon as a worker asks, except that a target whose key identity (client key
// and peer key) is being probed waits until that probe ends. The spacing
// between such probes is the probe's own key turn (probe/key_turn.hpp); this
// keeps a worker from idling on a turn while other targets are ready.
//
// Thread-safe: workers call next() and finished() from their own threads.
// Memory grows with the targets and key identities given, not the workers.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <queue>
#include <stop_token>
#include <vector>

namespace quorlin::fleet {

struct Turn {
    std::uint32_t target = 0;
    std::uint32_t key_identity = 0;
};

class KeySchedule {
public:
    // `turns` in the order to start them; every key_identity below key_identity_count.
    KeySchedule(std::vector<Turn> turns, std::uint32_t key_identity_count);

    // The next turn, once one may start. Nothing when none remain or a stop
    // was requested.
    std::optional<Turn> next(std::stop_token stop);

    // The probe of a turn that next() gave has ended.
    void finished(Turn turn);

    std::size_t running() const;

private:
    static constexpr std::uint32_t none = UINT32_MAX;

    struct Identity {
        std::uint32_t head = none;  // its first turn not yet started, an index into turns_
        std::uint32_t tail = none;
    };

    std::vector<Turn> turns_;
    std::vector<std::uint32_t> next_turn_;  // the same identity's next turn, or none
    std::vector<Identity> identities_;
    // Places in the order of the identities free to start, smallest first.
    std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> ready_;
    std::size_t not_started_ = 0;
    std::size_t running_count_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
};

}  // namespace quorlin::fleet
