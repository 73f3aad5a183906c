#pragma once
// The process-wide cap on busy resolver threads. A host-name lookup can block
// for as long as the system resolver likes; the cap keeps a resolver that
// hangs from piling up threads however many probes run.

#include <cstdint>
#include <optional>

#include "common/clock.hpp"

namespace quorlin {

inline constexpr std::uint64_t RESOLVER_WORKER_LIMIT = 4;

// How many slots are held right now (ACTIVE_RESOLVER_WORKERS).
std::uint64_t active_resolver_workers() noexcept;

// One reserved slot. Move-only; destroying (or releasing) it gives the slot
// back, exactly once per successful reservation.
class ResolverSlot {
public:
    // A slot while fewer than RESOLVER_WORKER_LIMIT are held; nullopt otherwise.
    static std::optional<ResolverSlot> try_reserve() noexcept;
    // A slot, waiting (asleep) for one to be given back while all are held;
    // nullopt once `deadline` passes without one.
    static std::optional<ResolverSlot> reserve_until(Instant deadline);

    ResolverSlot(ResolverSlot&& other) noexcept : held_(other.held_) { other.held_ = false; }
    ResolverSlot& operator=(ResolverSlot&& other) noexcept;
    ResolverSlot(const ResolverSlot&) = delete;
    ResolverSlot& operator=(const ResolverSlot&) = delete;
    ~ResolverSlot() { release(); }

    void release() noexcept;

private:
    ResolverSlot() noexcept = default;
    bool held_ = false;
};

}  // namespace quorlin
