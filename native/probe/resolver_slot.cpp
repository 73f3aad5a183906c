#include "probe/resolver_slot.hpp"

#include <atomic>

namespace quorlin {

namespace {
// Counts resolver threads that hold a slot; shared by every probe in the
// process. No lock: reservation is a compare-and-exchange loop.
constinit std::atomic<std::uint64_t> ACTIVE_RESOLVER_WORKERS{0};
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
}

}  // namespace quorlin
