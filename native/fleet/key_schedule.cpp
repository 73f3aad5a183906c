#include "fleet/key_schedule.hpp"

namespace quorlin::fleet {

KeySchedule::KeySchedule(std::vector<Turn> turns, std::uint32_t key_pair_count, Clock::duration spacing)
    : turns_(std::move(turns)),
      next_turn_(turns_.size(), none),
      key_pairs_(key_pair_count),
      spacing_length_(spacing),
      not_started_(turns_.size()) {
    for (std::uint32_t place = 0; place < turns_.size(); ++place) {
        KeyPair& pair = key_pairs_[turns_[place].key_pair];
        if (pair.head == none) {
            pair.head = place;
            ready_.emplace(place, turns_[place].key_pair);
        } else {
            next_turn_[pair.tail] = place;
        }
        pair.tail = place;
    }
}

std::optional<Turn> KeySchedule::next(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stop.stop_requested()) return std::nullopt;
        const Instant now = Clock::now();
        while (!spacing_.empty() && spacing_.top().first <= now) {
            const std::uint32_t id = spacing_.top().second;
            spacing_.pop();
            ready_.emplace(key_pairs_[id].head, id);
        }
        if (!ready_.empty()) {
            KeyPair& pair = key_pairs_[ready_.top().second];
            ready_.pop();
            const std::uint32_t place = pair.head;
            pair.head = next_turn_[place];
            pair.not_before = now + spacing_length_;
            --not_started_;
            ++running_count_;
            return turns_[place];
        }
        if (not_started_ == 0) return std::nullopt;
        const std::uint64_t seen = generation_;
        const auto looked_again = [&] { return generation_ != seen; };
        if (spacing_.empty()) {
            changed_.wait(lock, stop, looked_again);
        } else {
            // A copy: the heap may grow while the lock is released.
            const Instant spacing_ends = spacing_.top().first;
            changed_.wait_until(lock, stop, spacing_ends, looked_again);
        }
    }
}

void KeySchedule::finished(Turn turn) {
    {
        std::lock_guard lock(mutex_);
        const KeyPair& pair = key_pairs_[turn.key_pair];
        --running_count_;
        if (pair.head != none) spacing_.emplace(pair.not_before, turn.key_pair);
        ++generation_;
    }
    changed_.notify_all();
}

std::size_t KeySchedule::running() const {
    std::lock_guard lock(mutex_);
    return running_count_;
}

}  // namespace quorlin::fleet
