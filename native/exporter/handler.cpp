#include "exporter/handler.hpp"

#include "exporter/pages.hpp"
#include "exporter/probe_log.hpp"
#include "exporter/probe_metrics.hpp"
#include "exporter/request.hpp"
#include "exporter/time_limit.hpp"
#include "fleet/fleet_refusal.hpp"
#include "fleet/target_probe.hpp"
#include "probe/report_json.hpp"

#include <memory>
#include <utility>

namespace quorlin::exporter {

namespace {

constexpr std::string_view text_content_type = "text/plain; charset=utf-8";
constexpr std::string_view no_worker_reason =
    "too many probes at once: no probe slot came free within the time limit";

// What a probe in line carries until a worker runs it or it is refused.
struct PendingProbe {
    HttpRequest request;
    std::shared_ptr<ServedFleet> served;  // keeps the target alive across a reload
    Answer answer;
};

}  // namespace

std::optional<bool> RequestHandler::authorized_at_once(std::string_view path, const char* authorization) const {
    const WebConfig web = parts_.web.current();
    if (web.basic_auth == nullptr || path == "/-/healthy") return true;
    if (authorization == nullptr) return false;
    return web.basic_auth->allows_at_once(authorization);
}

bool RequestHandler::authorized(std::string_view path, const char* authorization) const {
    const WebConfig web = parts_.web.current();
    if (web.basic_auth == nullptr || path == "/-/healthy") return true;
    return authorization != nullptr && web.basic_auth->allows(authorization);
}

void RequestHandler::handle(HttpRequest request, Instant arrival, const Answer& answer) const {
    if (!request.authorized) return answer(refuse(request, 401, "authentication required"));
    auto route = route_request(request.method, request.path, request.query);
    if (!route) return answer(refuse(request, route.error().status, std::move(route.error().reason)));
    switch (route->endpoint) {
        case Endpoint::probe: return probe(std::move(request), arrival, *route, answer);
        case Endpoint::metrics: return answer({200, metrics_content_type, parts_.metrics.text(), {}});
        case Endpoint::targets:
            return answer({200, targets_content_type, targets_json(parts_.fleet.current()->fleet), {}});
        case Endpoint::index: return answer({200, index_content_type, index_html(parts_.fleet.current()->fleet), {}});
        case Endpoint::healthy: break;
    }
    answer({200, text_content_type, "OK\n", {}});
}

void RequestHandler::probe(HttpRequest request, Instant arrival, const Route& route, const Answer& answer) const {
    const std::string& target_name = route.target;
    if (route.module && parts_.log.enabled(LogLevel::debug)) {
        parts_.log.debug("ignored module" + quoted_if_plain(*route.module) + " from " + request.client +
                         ": each target is probed as the fleet file says");
    }
    // Held to the end of the request: a reload cannot free the target meanwhile.
    std::shared_ptr<ServedFleet> served = parts_.fleet.current();
    const fleet::FleetTarget* target = served->fleet.find(target_name);
    if (target == nullptr) return answer(refuse(request, 400, "unknown target" + quoted_if_plain(target_name)));
    std::optional<std::chrono::nanoseconds> scrape_timeout;
    if (request.scrape_timeout) {
        auto parsed = parse_scrape_timeout(*request.scrape_timeout);
        if (!parsed) return answer(refuse(request, parsed.error().status, std::move(parsed.error().reason)));
        scrape_timeout = *parsed;
    }
    auto limit = probe_time_limit(arrival, target->options.deadline_ms, scrape_timeout, parts_.timeout_offset);
    if (!limit) return answer(refuse(request, limit.error().status, std::move(limit.error().reason)));

    auto pending = std::make_shared<const PendingProbe>(std::move(request), std::move(served), answer);
    parts_.probes.submit(
        limit->wait_until,
        [this, pending, target, limit = *limit, debug = route.debug] {
            pending->answer(run_probe(pending->request, *target, limit, debug));
        },
        [this, pending](bool stopping) {
            pending->answer(refuse(pending->request, 503,
                                   std::string(stopping ? "the exporter is stopping" : no_worker_reason)));
        });
}

HttpResponse RequestHandler::run_probe(const HttpRequest& request, const fleet::FleetTarget& target,
                                       const ProbeTimeLimit& limit, bool debug) const {
    const std::optional<std::uint64_t> cap_ms = deadline_cap_ms(limit, Clock::now());
    if (cap_ms == 0u) {
        return refuse(request, 503, std::string(no_worker_reason));
    }
    const auto in_flight = parts_.metrics.probe_started();
    const Instant start = Clock::now();
    const auto report = fleet::probe_target(target, cap_ms);
    const ProbeOutcome outcome{report ? &*report : nullptr, Clock::now() - start, target.ping_thresholds,
                               target.certificate_thresholds, &target.options};
    if (report) {
        parts_.metrics.probe_finished(report->verdict);
        log_probe(request, target, *report);
    } else {
        // A file of the target changed since the fleet was read. Its message
        // may name a path: it goes to the log, never into the answer.
        parts_.log.warn(fleet::target_prefix(target.name) + " could not be probed: " + report.error());
        parts_.metrics.probe_finished(Verdict::local_error);
    }
    if (!debug) return {200, metrics_content_type, probe_metrics_text(outcome), {}};
    if (!report) {
        return {200, text_content_type, "no probe ran: a file of the target could not be read (see the exporter's log)\n",
                {}};
    }
    return {200, text_content_type, parts_.report_text(*report, Thresholds{{}, target.ping_thresholds, target.certificate_thresholds}) + "\n" + to_json(*report) + "\n", {}};
}

void RequestHandler::log_probe(const HttpRequest& request, const fleet::FleetTarget& target,
                               const ProbeReport& report) const {
    if (!parts_.log.enabled(LogLevel::info)) return;  // no assessment for a line nobody reads
    const Assessment assessment =
        assess(report, Thresholds{{}, target.ping_thresholds, target.certificate_thresholds});
    if (!parts_.log.enabled(probe_log_level(assessment.state))) return;
    const ProbeLogLine line = probe_log_line(target.name, request.client, report, assessment);
    parts_.log.log(line.level, line.text);
}

HttpResponse RequestHandler::refuse(const HttpRequest& request, int status, std::string reason) const {
    std::string line = "refused ";
    line.append(request.method).append(" ").append(request.path);
    if (!request.query.empty()) line.append("?").append(request.query);
    line.append(" from ").append(request.client).append(": ").append(std::to_string(status)).append(" ").append(reason);
    parts_.refusals.warn(line);
    HttpResponse response{status, text_content_type, std::move(reason) + "\n", {}};
    if (status == 405) response.extra_header = "Allow: GET, HEAD";
    if (status == 401) response.extra_header = "WWW-Authenticate: Basic realm=\"quorlin exporter\"";
    return response;
}

}  // namespace quorlin::exporter
