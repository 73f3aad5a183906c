#include "exporter/probe_slots.hpp"

namespace quorlin::exporter {

std::optional<ProbeSlots::Slot> ProbeSlots::acquire(Instant until) {
    std::unique_lock lock(mutex_);
    if (!freed_.wait_until(lock, until, [this] { return closed_ || free_ > 0; }) || closed_) return std::nullopt;
    --free_;
    return Slot(this);
}

void ProbeSlots::close() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }
    freed_.notify_all();
}

bool ProbeSlots::closed() const {
    const std::lock_guard lock(mutex_);
    return closed_;
}

void ProbeSlots::give_back() {
    {
        const std::lock_guard lock(mutex_);
        ++free_;
    }
    freed_.notify_one();
}

}  // namespace quorlin::exporter
