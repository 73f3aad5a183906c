#pragma once
// One HTTP request in, one response out, with no HTTP server in sight: the
// routing, the probe with its time limit and slot, and the pages. A refused
// request is logged here, one line; a successful probe is not.

#include "exporter/exporter_metrics.hpp"
#include "exporter/fleet_source.hpp"
#include "exporter/probe_slots.hpp"
#include "probe/report.hpp"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorlin::exporter {

struct HttpRequest {
    std::string_view method;
    std::string_view path;   // percent-decoded
    std::string_view query;  // raw, without the '?'
    std::optional<std::string_view> scrape_timeout;  // X-Prometheus-Scrape-Timeout-Seconds
    std::string_view client;  // the peer's address, for the log
};

struct HttpResponse {
    int status = 200;
    std::string_view content_type;
    std::string body;
    std::string_view extra_header;  // a whole "Name: value" line without CRLF, or empty
};

// Receives one log line (without prefix or newline); called from any worker thread.
using LogSink = std::function<void(std::string_view line)>;

struct HandlerParts {
    FleetSource& fleet;
    ProbeSlots& slots;
    ExporterMetrics& metrics;
    LogSink log;
    std::chrono::nanoseconds timeout_offset{};
};

class RequestHandler {
public:
    explicit RequestHandler(HandlerParts parts) : parts_(std::move(parts)) {}

    HttpResponse handle(const HttpRequest& request) const;

private:
    HttpResponse probe(const HttpRequest& request, const std::string& target_name) const;
    HttpResponse refuse(const HttpRequest& request, int status, std::string reason) const;

    HandlerParts parts_;
};

}  // namespace quorlin::exporter
