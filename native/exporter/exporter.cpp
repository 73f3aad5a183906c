#include "exporter/exporter.hpp"

#include "common/os_error.hpp"
#include "common/signal_watch.hpp"
#include "exporter/http_server.hpp"
#include "fleet/open_file_budget.hpp"
#include "input/timeout.hpp"
#include "probe/probe.hpp"

#include <cerrno>
#include <csignal>
#include <utility>

namespace quorlin::exporter {

namespace {

// Beside the connections: each probe's socket and the file it reads, and the process's own.
std::size_t reserved_descriptors(std::size_t max_concurrent) { return 2 * max_concurrent + 64; }

std::string targets_text(const FleetSource& source) {
    const std::size_t count = source.current()->fleet.targets().size();
    return std::to_string(count) + (count == 1 ? " target" : " targets");
}

}  // namespace

void block_exporter_signals() { block_signals({SIGHUP, SIGTERM, SIGINT}); }

std::expected<void, std::string> run_exporter(const ExporterSettings& settings, const ReportText& report_text,
                                              const LogSink& log) {
    const SignalWatch signals({SIGHUP, SIGTERM, SIGINT});
    if (signals.fd() < 0) return std::unexpected("could not watch for signals: " + os_error_text(errno));

    WebConfigSource web(settings.web_config_file);
    if (auto read = web.reload(); !read) return std::unexpected(std::move(read.error()));
    ExporterMetrics metrics;
    FleetSource fleet(settings.fleet_file, metrics);
    if (auto read = fleet.reload(); !read) return std::unexpected(std::move(read.error()));
    const std::size_t wanted = settings.max_concurrent;
    const fleet::OpenFileBudget budget = fleet::fit_open_files(wanted);
    if (const std::string notice = fleet::lowered_notice(wanted, wanted, budget); !notice.empty()) log(notice);
    ProbeWorkers probes(budget.probes);
    const RequestHandler handler(
        HandlerParts{fleet, web, probes, metrics, report_text, log, settings.timeout_offset});
    ServerSettings server_settings;
    server_settings.listen = settings.listen;
    server_settings.reserved_descriptors = reserved_descriptors(budget.probes);
    auto server = HttpServer::start(server_settings, handler, log);
    if (!server) return std::unexpected(std::move(server.error()));
    log("listening on " + (*server)->address() + ", serving " + targets_text(fleet));

    for (;;) {
        const int signal = signals.next();
        if (signal == SIGHUP) {
            if (auto read = fleet.reload(); read) {
                log("reloaded " + settings.fleet_file + ": " + targets_text(fleet));
            } else {
                log("reload failed, the previous fleet stays in use: " + read.error());
            }
            if (auto read = web.reload(); !read) {
                log("reload failed, the previous web config stays in use: " + read.error());
            } else if (!settings.web_config_file.empty()) {
                log("reloaded " + settings.web_config_file);
            }
            continue;
        }
        if (signal == 0) log("could not read a signal: " + os_error_text(errno));
        log("stopping: running probes end by their deadlines");
        break;
    }
    // New probes and those in line for a worker are refused from now on; the
    // running probes end by their deadlines and are answered. Only then does
    // the server stop: it sends nothing more once it is stopping, and no
    // worker may answer a connection after that.
    probes.close();
    const Instant longest_probe_end =
        Clock::now() + std::chrono::milliseconds(input::max_timeout_ms) + probe_overrun_grace;
    if (!(*server)->wait_until_idle(longest_probe_end)) log("a probe did not end by its deadline; stopping anyway");
    probes.join();
    server->reset();
    return {};
}

}  // namespace quorlin::exporter
