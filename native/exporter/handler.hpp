#pragma once
// One HTTP request in, one response out, with no HTTP server in sight: the
// routing, the probe with its time limit and worker, and the pages. A refused
// request is logged here at warn, one line; each probe that ran at info when
// it was not OK, else at debug (exporter/probe_log.hpp). Pages and
// refusals are answered before handle() returns; a probe is answered later,
// from a worker thread, or refused when no worker takes it in time.

#include "common/clock.hpp"
#include "exporter/exporter_metrics.hpp"
#include "exporter/fleet_source.hpp"
#include "exporter/logger.hpp"
#include "exporter/worker_pool.hpp"
#include "exporter/time_limit.hpp"
#include "exporter/web_config.hpp"
#include "probe/assessment.hpp"
#include "probe/report.hpp"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorlin::exporter {

// Owned: a probe's request outlives the server's call that read it.
struct HttpRequest {
    std::string method;
    std::string path;   // percent-decoded
    std::string query;  // raw, without the '?'
    std::optional<std::string> scrape_timeout;  // X-Prometheus-Scrape-Timeout-Seconds
    std::string client;  // the peer's address, for the log
    bool authorized = true;  // RequestHandler::authorized's answer
};

struct HttpResponse {
    int status = 200;
    std::string_view content_type;
    std::string body;
    std::string_view extra_header;  // a whole "Name: value" line without CRLF, or empty
};

// The report as people read it, for /probe?debug=true: the single probe's
// own table, which the command owns and hands in.
using ReportText = std::function<std::string(const ProbeReport& report, const Thresholds& thresholds)>;

// Takes the response to one request; called exactly once, from any thread.
using Answer = std::function<void(HttpResponse response)>;

struct HandlerParts {
    FleetSource& fleet;
    const WebConfigSource& web;
    WorkerPool& probes;
    ExporterMetrics& metrics;
    ReportText report_text;
    const Logger& log;
    // Refused requests: a flood's worth, so its lines come at a bounded rate.
    const Logger& refusals;
    std::chrono::nanoseconds timeout_offset{};
};

class RequestHandler {
public:
    explicit RequestHandler(HandlerParts parts) : parts_(std::move(parts)) {}

    // `arrival`: when the request's head was complete; a probe's time limit counts from it.
    void handle(HttpRequest request, Instant arrival, const Answer& answer) const;

    // Whether a request with this path and Authorization header (null when
    // absent) may be served: always without basic_auth_users, and /-/healthy
    // always. Kept apart from HttpRequest so that the password is never copied.
    // A bcrypt check may take tens of milliseconds: authorized_at_once()
    // answers where none is needed, and the server runs the rest off its listener.
    bool authorized(std::string_view path, const char* authorization) const;
    std::optional<bool> authorized_at_once(std::string_view path, const char* authorization) const;

    // The headers the web configuration adds to every answer, the server's own included.
    std::vector<ResponseHeader> added_headers() const { return parts_.web.current().headers; }

private:
    void probe(HttpRequest request, Instant arrival, const Route& route, const Answer& answer) const;
    HttpResponse run_probe(const HttpRequest& request, const fleet::FleetTarget& target, const ProbeTimeLimit& limit,
                           bool debug) const;
    void log_probe(const HttpRequest& request, const fleet::FleetTarget& target, const ProbeReport& report) const;
    HttpResponse refuse(const HttpRequest& request, int status, std::string reason) const;

    HandlerParts parts_;
};

}  // namespace quorlin::exporter
