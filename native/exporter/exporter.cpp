#include "exporter/exporter.hpp"

#include "common/open_file_budget.hpp"
#include "common/os_error.hpp"
#include "common/signal_watch.hpp"
#include "exporter/bounded_log.hpp"
#include "exporter/http_server.hpp"
#include "exporter/tls_credentials.hpp"
#include "fleet/resolver_workers.hpp"
#include "input/timeout.hpp"
#include "probe/probe.hpp"
#include "probe/shared_lookups.hpp"

#include <cerrno>
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

// A warning about the users' bcrypt costs, at start and after each reload.
void warn_of_costs(const WebConfigSource& web, const LogSink& log) {
    const WebConfig config = web.current();
    if (config.basic_auth != nullptr && !config.basic_auth->cost_warning().empty()) {
        log(config.basic_auth->cost_warning());
    }
}

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
    std::unique_ptr<TlsCredentials> tls;
    if (const std::optional<TlsSettings> asked = web.current().tls) {
        auto loaded = TlsCredentials::load(*asked);
        if (!loaded) return std::unexpected(std::move(loaded.error()));
        tls = std::move(*loaded);
    }
    ExporterMetrics metrics;
    FleetSource fleet(settings.fleet_file, metrics);
    if (auto read = fleet.reload(); !read) return std::unexpected(std::move(read.error()));
    warn_of_costs(web, log);
    const std::size_t wanted = settings.max_concurrent;
    ServerSettings server_settings;
    server_settings.listen = settings.listen;
    server_settings.tls = tls.get();
    // One raise of the open-file limit, for the probes and the connections together.
    const OpenFileBudget budget = fit_open_files(wanted, server_settings.max_connections + connection_headroom);
    if (const std::string notice = lowered_notice(wanted, wanted, budget); !notice.empty()) log(notice);
    const std::size_t wanted_connections = server_settings.max_connections;
    server_settings.max_connections =
        budget.connections > 2 * connection_headroom ? budget.connections - connection_headroom : budget.connections / 2;
    if (const std::string notice = lowered_connections_notice(wanted_connections, server_settings.max_connections, budget);
        !notice.empty()) {
        log(notice);
    }
    set_resolver_worker_limit(fleet::FLEET_RESOLVER_WORKER_LIMIT);
    WorkerPool probes(WorkerPoolLimits{budget.probes});
    // Refusals come with every flood: written at a bounded rate.
    const BoundedLog refusals(log, LogBudget{});
    const RequestHandler handler(
        HandlerParts{fleet, web, probes, metrics, report_text, refusals.sink(), settings.timeout_offset});
    auto server = HttpServer::start(server_settings, handler, log, refusals.sink());
    if (!server) return std::unexpected(std::move(server.error()));
    log(std::string("listening on ") + (tls ? "https://" : "") + (*server)->address() + ", serving " +
        targets_text(fleet));

    for (;;) {
        const int signal = signals.next();
        if (signal == SIGHUP) {
            if (auto read = fleet.reload(); read) {
                log("reloaded " + settings.fleet_file + ": " + targets_text(fleet));
            } else {
                log("reload failed, the previous fleet stays in use: " + read.error());
            }
            const auto take = [&tls](const WebConfig& loaded) { return take_tls(tls.get(), loaded); };
            if (auto read = web.reload(take); !read) {
                log("reload failed, the previous web config stays in use: " + read.error());
            } else if (!settings.web_config_file.empty()) {
                log("reloaded " + settings.web_config_file);
                warn_of_costs(web, log);
            }
            continue;
        }
        if (signal == 0) log("could not read a signal: " + os_error_text(errno));
        break;
    }
    // New probes and those in line for a worker are refused from now on (and
    // already when the line saying so is read); the running probes end by
    // their deadlines and are answered. Only then does the server stop: it
    // sends nothing more once it is stopping, and no worker may answer a
    // connection after that.
    probes.close();
    log("stopping: running probes end by their deadlines");
    const Instant longest_probe_end =
        Clock::now() + std::chrono::milliseconds(input::max_timeout_ms) + probe_overrun_grace;
    if (!(*server)->wait_until_idle(longest_probe_end)) log("a probe did not end by its deadline; stopping anyway");
    probes.join();
    server->reset();
    return {};
}

}  // namespace quorlin::exporter
