#pragma once
// Probes of targets that share both client key and peer key take turns: one
// at a time, each starting at least the fleet's spacing after the last one
// ended. The peer ignores a second initiation from one key within about 20 ms,
// so two such scrapes at once (two targets for one server, or two Prometheus
// servers scraping the same target) would otherwise fail one of them.

#include "common/clock.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace quorlin::exporter {

class KeyTurns {
public:
    KeyTurns(std::uint32_t key_pair_count, Clock::duration spacing) : pairs_(key_pair_count), spacing_(spacing) {}
    KeyTurns(const KeyTurns&) = delete;
    KeyTurns& operator=(const KeyTurns&) = delete;

    // A key pair's turn, held until released.
    class Turn {
    public:
        Turn(Turn&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)), key_pair_(other.key_pair_) {}
        Turn& operator=(Turn&&) = delete;
        ~Turn() {
            if (owner_ != nullptr) owner_->end_turn(key_pair_);
        }

    private:
        friend class KeyTurns;
        Turn(KeyTurns* owner, std::uint32_t key_pair) noexcept : owner_(owner), key_pair_(key_pair) {}
        KeyTurns* owner_;
        std::uint32_t key_pair_;
    };

    // The turn of `key_pair`, or nothing when it did not come by `until`.
    std::optional<Turn> take(std::uint32_t key_pair, Instant until);

private:
    struct KeyPair {
        bool busy = false;
        Instant not_before{};
    };

    void end_turn(std::uint32_t key_pair);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<KeyPair> pairs_;
    const Clock::duration spacing_;
};

}  // namespace quorlin::exporter
