#include "fleet/key_schedule.hpp"

#include <utility>

namespace quorlin::fleet {

KeySchedule::KeySchedule(std::vector<Turn> turns, std::uint32_t key_identity_count)
    : turns_(std::move(turns)),
      next_turn_(turns_.size(), none),
      identities_(key_identity_count),
      not_started_(turns_.size()) {
    for (std::uint32_t place = 0; place < turns_.size(); ++place) {
        Identity& identity = identities_[turns_[place].key_identity];
        if (identity.head == none) {
            identity.head = place;
            ready_.push(place);
        } else {
            next_turn_[identity.tail] = place;
        }
        identity.tail = place;
    }
}

std::optional<Turn> KeySchedule::next(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, stop, [&] { return !ready_.empty() || not_started_ == 0; });
    if (stop.stop_requested() || ready_.empty()) return std::nullopt;
    const std::uint32_t place = ready_.top();
    ready_.pop();
    Identity& identity = identities_[turns_[place].key_identity];
    identity.head = next_turn_[place];
    --not_started_;
    ++running_count_;
    return turns_[place];
}

void KeySchedule::finished(Turn turn) {
    {
        const std::lock_guard lock(mutex_);
        const Identity& identity = identities_[turn.key_identity];
        --running_count_;
        if (identity.head != none) ready_.push(identity.head);
    }
    changed_.notify_all();
}

std::size_t KeySchedule::running() const {
    const std::lock_guard lock(mutex_);
    return running_count_;
}

}  // namespace quorlin::fleet
