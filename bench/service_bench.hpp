#pragma once
// Figures for the TCP, TLS and HTTP checks through the tunnel against
// servers in the real peer's namespace: wall time against each check's
// round-trip floor, CPU per TLS check against the same handshake made by
// openssl outside the tunnel, and the quorlin command's peak RSS with one
// https check. Figures and ratios only; nothing passes or fails on them.

#include <cstddef>

#include "bench_peer.hpp"

namespace quorlin::bench {

struct ServiceBenchCounts {
    std::size_t wall_samples = 30;  // probes per kind of check
    std::size_t cpu_probes = 100;   // probes per run of the CPU comparison
    std::size_t rss_runs = 5;       // runs of the quorlin command
};

void print_service_figures(Peer& peer, const ServiceBenchCounts& counts);

}  // namespace quorlin::bench
