#pragma once
// `quorlin exporter`: serve the fleet to Prometheus until SIGTERM or SIGINT.
//   SIGHUP          read the fleet file again; a bad file is logged and the
//                   fleet in use kept
//   SIGTERM/SIGINT  stop taking probes (a new one is answered 503), let the
//                   running probes end by their deadlines and answer them,
//                   stop the server, then return 0
// Everything it logs goes through the sink, one line each, at the level
// settings.log_level asks (exporter/log_level.hpp): the address it listens on,
// each reload, each refused request, each probe that was not OK.

#include "exporter/exporter_settings.hpp"
#include "exporter/handler.hpp"
#include "exporter/logger.hpp"

#include <expected>
#include <string>

namespace quorlin::exporter {

// Blocks SIGHUP, SIGTERM and SIGINT in the calling thread, which every thread
// started afterwards inherits: the exporter takes them through a signalfd.
// Call before any thread exists.
void block_exporter_signals();

// Serves until SIGTERM or SIGINT, then returns; the reason it could not
// serve: the fleet file cannot be read at start, the server cannot listen,
// or the signals cannot be watched.
std::expected<void, std::string> run_exporter(const ExporterSettings& settings, const ReportText& report_text,
                                              const LogSink& sink);

}  // namespace quorlin::exporter
