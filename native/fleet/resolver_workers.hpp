#pragma once
// Host-name lookups at once in a process that runs many probes (the fleet,
// the exporter); a single probe keeps RESOLVER_WORKER_LIMIT.
//
// Live probes need at most one lookup each, and probes of one host share
// theirs, so 64, the fleet's default concurrency (the exporter's is 32),
// means a working resolver never keeps a probe waiting at the defaults, and a
// few names that hang leave nearly every worker to the rest. Each worker
// stuck on a hanging resolver holds a thread and a socket until the system
// resolver gives up: the fixed cap bounds those however high --concurrency
// goes; above 64 distinct names at once, workers are reused as they free.

#include <cstddef>

namespace quorlin::fleet {

inline constexpr std::size_t FLEET_RESOLVER_WORKER_LIMIT = 64;

}  // namespace quorlin::fleet
