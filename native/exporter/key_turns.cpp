#include "exporter/key_turns.hpp"

namespace quorlin::exporter {

std::optional<KeyTurns::Turn> KeyTurns::take(std::uint32_t key_pair, Instant until) {
    std::unique_lock lock(mutex_);
    KeyPair& pair = pairs_.at(key_pair);
    for (;;) {
        const Instant now = Clock::now();
        if (!pair.busy && pair.not_before <= now) break;
        const Instant wake = pair.busy ? until : std::min(until, pair.not_before);
        if (now >= until) return std::nullopt;
        changed_.wait_until(lock, wake);
    }
    pair.busy = true;
    return Turn(this, key_pair);
}

void KeyTurns::end_turn(std::uint32_t key_pair) {
    {
        const std::lock_guard lock(mutex_);
        KeyPair& pair = pairs_[key_pair];
        pair.busy = false;
        pair.not_before = Clock::now() + spacing_;
    }
    changed_.notify_all();
}

}  // namespace quorlin::exporter
