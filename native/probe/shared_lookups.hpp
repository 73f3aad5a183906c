#pragma once
// Host-name lookups in flight, on a capped set of resolver workers shared by
// every probe in the process.
//
// getaddrinfo blocks for as long as the system resolver likes, so each lookup
// runs on a detached worker thread, and the cap keeps a resolver that hangs
// from piling up threads however many probes run. Callers asking for a host
// whose lookup is in flight wait on that lookup instead of starting another;
// a lookup is forgotten the moment it ends, so a later caller asks afresh
// (nothing is cached). A new lookup that finds every worker busy waits in
// line, and the first worker to come free takes it; one whose callers have
// all stopped waiting leaves the line unrun.

#include <cstddef>
#include <expected>
#include <string>

#include "common/clock.hpp"
#include "probe/resolve.hpp"

namespace quorlin {

// Workers at once unless the process sets otherwise: enough for one probe and
// a few lookups it abandoned to a hanging resolver.
inline constexpr std::size_t RESOLVER_WORKER_LIMIT = 4;

// The process-wide cap (at least 1). Raising it starts lookups waiting in
// line; lowering it lets busy workers finish their lookups first.
void set_resolver_worker_limit(std::size_t limit);
std::size_t resolver_worker_limit() noexcept;
// Workers running a lookup right now.
std::size_t active_resolver_workers() noexcept;

// Why a caller's deadline passed without an outcome.
enum class LookupUnfinished {
    waiting_for_worker,  // the lookup never got a worker
    running,             // it is still running, and goes on for any other caller
};

// The outcome of the lookup of `host` (lookup_first_address: port 0), waiting
// until `deadline` at most. Several callers may receive the same outcome.
std::expected<ResolveOutcome, LookupUnfinished> wait_for_host_lookup(const std::string& host, Instant deadline);

}  // namespace quorlin
