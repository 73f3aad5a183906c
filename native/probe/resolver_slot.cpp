#include "probe/resolver_slot.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace quorlin {

namespace {
// Counts resolver threads that hold a slot; shared by every probe in the
// process. No lock: reservation is a compare-and-exchange loop.
constinit std::atomic<std::uint64_t> ACTIVE_RESOLVER_WORKERS{0};

// Only callers waiting for a slot use these; reserving and releasing stay
// lock-free, and a release takes the lock only to wake a waiter without a
// lost wake-up (a waiter checks the counter and sleeps under the lock).
// Never destroyed: a detached resolver thread may release its slot while the
// process runs its exit handlers.
struct SlotWaiters {
    std::mutex mutex;
    std::condition_variable freed;
};
SlotWaiters& slot_waiters() {
    static auto* const waiters = new SlotWaiters;
    return *waiters;
}
}  // namespace

std::uint64_t active_resolver_workers() noexcept {
    return ACTIVE_RESOLVER_WORKERS.load(std::memory_order_acquire);
}

std::optional<ResolverSlot> ResolverSlot::try_reserve() noexcept {
    std::uint64_t current = ACTIVE_RESOLVER_WORKERS.load(std::memory_order_acquire);
    while (true) {
        if (current >= RESOLVER_WORKER_LIMIT) return std::nullopt;
        // On failure `current` is refreshed with the value now found.
        if (ACTIVE_RESOLVER_WORKERS.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel,
                                                          std::memory_order_acquire)) {
            break;
        }
    }
    ResolverSlot slot;
    slot.held_ = true;
    return slot;
}

std::optional<ResolverSlot> ResolverSlot::reserve_until(Instant deadline) {
    if (auto slot = try_reserve()) return slot;
    std::optional<ResolverSlot> slot;
    SlotWaiters& waiters = slot_waiters();
    std::unique_lock lock(waiters.mutex);
    waiters.freed.wait_until(lock, deadline, [&] {
        slot = try_reserve();
        return slot.has_value();
    });
    return slot;
}

ResolverSlot& ResolverSlot::operator=(ResolverSlot&& other) noexcept {
    if (this != &other) {
        release();
        held_ = other.held_;
        other.held_ = false;
    }
    return *this;
}

void ResolverSlot::release() noexcept {
    if (!held_) return;
    held_ = false;
    ACTIVE_RESOLVER_WORKERS.fetch_sub(1, std::memory_order_acq_rel);
    SlotWaiters& waiters = slot_waiters();
    { const std::lock_guard lock(waiters.mutex); }
    waiters.freed.notify_one();
}

}  // namespace quorlin
