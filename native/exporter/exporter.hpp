#pragma once
// `quorlin exporter`: serve the fleet to Prometheus until SIGTERM or SIGINT.
//   SIGHUP          read the fleet file again; a bad file is logged and the
//                   fleet in use kept
//   SIGTERM/SIGINT  stop taking probes (a new one is answered 503), let the
//                   running probes end by their deadlines and answer them,
//                   stop the server, then return 0
// Everything it logs goes through the sink, one line each: the address it
// listens on, each reload, each refused request.

#include "exporter/handler.hpp"

#include <chrono>
#include <cstddef>
#include <string>

namespace quorlin::exporter {

inline constexpr std::string_view default_listen = "127.0.0.1:9723";
inline constexpr std::size_t default_max_concurrent = 32;
inline constexpr std::chrono::milliseconds default_timeout_offset{500};

struct ExporterSettings {
    std::string fleet_file;
    std::string listen{default_listen};  // checked "IPV4:PORT"
    std::size_t max_concurrent = default_max_concurrent;
    std::chrono::nanoseconds timeout_offset = default_timeout_offset;
};

// Blocks SIGHUP, SIGTERM and SIGINT in the calling thread, which every thread
// started afterwards inherits: the exporter takes them through a signalfd.
// Call before any thread exists.
void block_exporter_signals();

// The exit status: 0 after SIGTERM or SIGINT, 3 when the fleet file cannot be
// read at start or the server cannot listen (the reason logged).
int run_exporter(const ExporterSettings& settings, const SuccessRule& is_success, const LogSink& log);

}  // namespace quorlin::exporter
