#pragma once
// Probes at once against the open-file limit. Each probe holds a UDP socket,
// and a descriptor more while its files are read; a process that runs many
// at once raises its soft limit to fit them where the hard limit allows, and
// where it does not, runs fewer at once rather than failing probes.

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorlin::fleet {

inline constexpr std::size_t descriptors_per_probe = 2;
// For the rest of the process: standard streams, resolver, signal and event descriptors.
inline constexpr std::size_t reserved_descriptors = 64;

struct OpenFileBudget {
    std::size_t probes = 0;  // at once, no more than asked
    std::uint64_t limit = 0;  // the soft limit now; 0 when it could not be read
    std::uint64_t hard_limit = 0;
};

// Raises the soft limit to fit `wanted` probes of `per_probe` descriptors
// each, beside the reserve; how many fit.
OpenFileBudget fit_open_files(std::size_t wanted, std::size_t per_probe = descriptors_per_probe);

// Why fewer than `wanted` probes run at once, naming the value `asked` on
// the command line (more than `wanted` when there are fewer targets), or
// empty when the budget holds every probe wanted.
std::string lowered_notice(std::size_t asked, std::size_t wanted, const OpenFileBudget& budget);

}  // namespace quorlin::fleet
