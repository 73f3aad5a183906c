#include "exporter/exporter.hpp"

#include "common/open_file_budget.hpp"
#include "common/os_error.hpp"
#include "common/signal_watch.hpp"
#include "exporter/bounded_log.hpp"
#include "exporter/http_server.hpp"
#include "exporter/logger.hpp"
#include "exporter/tls_credentials.hpp"
#include "fleet/resolver_workers.hpp"
#include "input/timeout.hpp"
#include "probe/probe.hpp"
#include "probe/shared_lookups.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <utility>

namespace quorlin::exporter {

namespace {

// What a reload of the web configuration may change in the TLS layer: the
// certificate and key files, not whether TLS is served or what it asks of clients.
std::expected<void, std::string> take_tls(TlsCredentials* tls, const WebConfig& loaded) {
    if ((tls != nullptr) != loaded.tls.has_value()) {
        return std::unexpected(std::string("serving TLS or plain HTTP changes only by a restart"));
    }
    return tls != nullptr ? tls->reload(*loaded.tls) : std::expected<void, std::string>{};
}

// Weak certificates and keys are served all the same, with a line each.
void log_tls_warnings(const TlsCredentials* tls, const Logger& log) {
    if (tls == nullptr) return;
    for (const std::string& warning : tls->warnings()) log.warn("warning: " + warning);
}

// A warning about the users' bcrypt costs, at start and after each reload.
void warn_of_costs(const WebConfigSource& web, const Logger& log) {
    const WebConfig config = web.current();
    if (config.basic_auth != nullptr && !config.basic_auth->cost_warning().empty()) {
        log.warn(config.basic_auth->cost_warning());
    }
}

std::string targets_text(const FleetSource& source) {
    const std::size_t count = source.current()->fleet.targets().size();
    return std::to_string(count) + (count == 1 ? " target" : " targets");
}

// SIGHUP: both files read again, each refused one logged and the one in use
// kept. The reload metrics count both: a web configuration refused while the
// fleet file was read is still a failed reload. They are set before the lines
// are logged, so that whoever reads the log finds them current.
void reload(const ExporterSettings& settings, FleetSource& fleet, WebConfigSource& web, TlsCredentials* tls,
            ExporterMetrics& metrics, const Logger& log) {
    const auto fleet_read = fleet.reload();
    const auto web_read = web.reload([tls](const WebConfig& loaded) { return take_tls(tls, loaded); });
    if (fleet_read && web_read) {
        metrics.reload_succeeded(std::chrono::system_clock::now());
    } else {
        metrics.reload_failed();
    }
    if (fleet_read) {
        log.info("reloaded " + settings.fleet_file + ": " + targets_text(fleet));
    } else {
        log.warn("reload failed, the previous fleet stays in use: " + fleet_read.error());
    }
    if (!web_read) {
        log.warn("reload failed, the previous web config stays in use: " + web_read.error());
    } else if (!settings.web_config_file.empty()) {
        log.info("reloaded " + settings.web_config_file);
        log_tls_warnings(tls, log);
        warn_of_costs(web, log);
    }
}

}  // namespace

void block_exporter_signals() { block_signals({SIGHUP, SIGTERM, SIGINT}); }

std::expected<void, std::string> run_exporter(const ExporterSettings& settings, const ReportText& report_text,
                                              const LogSink& sink) {
    const Logger log(settings.log_level, sink);
    const SignalWatch signals({SIGHUP, SIGTERM, SIGINT});
    if (signals.fd() < 0) return std::unexpected("could not watch for signals: " + os_error_text(errno));

    WebConfigSource web(settings.web_config_file);
    if (auto read = web.reload(); !read) return std::unexpected(std::move(read.error()));
    std::unique_ptr<TlsCredentials> tls;
    if (const std::optional<TlsSettings> asked = web.current().tls) {
        auto loaded = TlsCredentials::load(*asked);
        if (!loaded) return std::unexpected(std::move(loaded.error()));
        tls = std::move(*loaded);
    }
    ExporterMetrics metrics;
    FleetSource fleet(settings.fleet_file);
    if (auto read = fleet.reload(); !read) return std::unexpected(std::move(read.error()));
    metrics.reload_succeeded(std::chrono::system_clock::now());
    warn_of_costs(web, log);
    const std::size_t wanted = settings.max_concurrent;
    ServerSettings server_settings;
    server_settings.listen = settings.listen;
    server_settings.tls = tls.get();
    // One raise of the open-file limit, for the probes and the connections together.
    const OpenFileBudget budget = fit_open_files(wanted, server_settings.max_connections + connection_headroom);
    if (const std::string notice = lowered_notice(wanted, wanted, budget); !notice.empty()) log.warn(notice);
    const std::size_t wanted_connections = server_settings.max_connections;
    server_settings.max_connections =
        budget.connections > 2 * connection_headroom ? budget.connections - connection_headroom : budget.connections / 2;
    if (const std::string notice = lowered_connections_notice(wanted_connections, server_settings.max_connections, budget);
        !notice.empty()) {
        log.warn(notice);
    }
    set_resolver_worker_limit(fleet::FLEET_RESOLVER_WORKER_LIMIT);
    WorkerPool probes(WorkerPoolLimits{budget.probes});
    // Refusals come with every flood: written at a bounded rate.
    const BoundedLog refusals(log.warnings(), LogBudget{});
    const Logger refusal_log(settings.log_level, refusals.sink());
    const RequestHandler handler(
        HandlerParts{fleet, web, probes, metrics, report_text, log, refusal_log, settings.timeout_offset});
    auto server = HttpServer::start(server_settings, handler, log.warnings(), refusal_log.warnings());
    if (!server) return std::unexpected(std::move(server.error()));
    log.info(std::string("listening on ") + (tls ? "https://" : "") + (*server)->address() + ", serving " +
        targets_text(fleet));
    log_tls_warnings(tls.get(), log);

    for (;;) {
        const int signal = signals.next();
        if (signal == SIGHUP) {
            reload(settings, fleet, web, tls.get(), metrics, log);
            continue;
        }
        if (signal == 0) log.error("could not read a signal: " + os_error_text(errno));
        break;
    }
    // New probes and those in line for a worker are refused from now on (and
    // already when the line saying so is read); the running probes end by
    // their deadlines and are answered. Only then does the server stop: it
    // sends nothing more once it is stopping, and no worker may answer a
    // connection after that.
    probes.close();
    log.info("stopping: running probes end by their deadlines");
    const Instant longest_probe_end =
        Clock::now() + std::chrono::milliseconds(input::max_timeout_ms) + probe_overrun_grace;
    if (!(*server)->wait_until_idle(longest_probe_end)) log.warn("a probe did not end by its deadline; stopping anyway");
    probes.join();
    server->reset();
    return {};
}

}  // namespace quorlin::exporter
