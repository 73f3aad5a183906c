#pragma once
// Probes and connections at once against the open-file limit. Each probe
// holds a UDP socket, and a descriptor more while its files are read; each
// HTTP connection holds one. A process raises its soft limit once, to fit
// everything it wants beside a reserve, where the hard limit allows; where it
// does not, it runs fewer probes and takes fewer connections rather than
// failing them.

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorlin {

inline constexpr std::size_t descriptors_per_probe = 2;
// For the rest of the process: standard streams, resolver, signal and event descriptors.
inline constexpr std::size_t reserved_descriptors = 64;
// Connections kept however low the limit: a server that takes none serves nothing.
inline constexpr std::size_t fewest_connections = 16;

struct OpenFileBudget {
    std::size_t probes = 0;       // at once, no more than asked
    std::size_t connections = 0;  // no more than asked
    std::uint64_t limit = 0;      // the soft limit now; 0 when it could not be read
    std::uint64_t hard_limit = 0;
};

// Raises the soft limit to fit `probes` probes and `connections` connections
// beside the reserve; how many of each fit. Probes are fitted first,
// connections take what is left (at least fewest_connections when asked for).
OpenFileBudget fit_open_files(std::size_t probes, std::size_t connections = 0);

// Why fewer than `wanted` probes run at once, naming the value `asked` on
// the command line (more than `wanted` when there are fewer targets), or
// empty when the budget holds every probe wanted.
std::string lowered_notice(std::size_t asked, std::size_t wanted, const OpenFileBudget& budget);

// Why a connection cap of `wanted` became `fitting` (fitting inside the
// budget's connections), or empty when it did not.
std::string lowered_connections_notice(std::size_t wanted, std::size_t fitting, const OpenFileBudget& budget);

}  // namespace quorlin
