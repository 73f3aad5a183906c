#pragma once
// At most N probes at once. A request that finds every slot taken waits for
// one, but only until its own time limit; closing the slots (the exporter is
// stopping) sends every waiter away at once.

#include "common/clock.hpp"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>

namespace quorlin::exporter {

class ProbeSlots {
public:
    explicit ProbeSlots(std::size_t count) noexcept : free_(count) {}
    ProbeSlots(const ProbeSlots&) = delete;
    ProbeSlots& operator=(const ProbeSlots&) = delete;

    // A held slot, given back when released.
    class Slot {
    public:
        Slot(Slot&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
        Slot& operator=(Slot&&) = delete;
        ~Slot() {
            if (owner_ != nullptr) owner_->give_back();
        }

    private:
        friend class ProbeSlots;
        explicit Slot(ProbeSlots* owner) noexcept : owner_(owner) {}
        ProbeSlots* owner_;
    };

    // A slot, or nothing when none came free by `until` or the slots are closed.
    std::optional<Slot> acquire(Instant until);

    // No slot is handed out any more; waiters return at once.
    void close();
    bool closed() const;

private:
    void give_back();

    mutable std::mutex mutex_;
    std::condition_variable freed_;
    std::size_t free_;
    bool closed_ = false;
};

}  // namespace quorlin::exporter
