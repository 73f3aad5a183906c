#include "exporter/probe_metrics.hpp"

#include "probe/assessment.hpp"
#include "probe/ping_summary.hpp"

#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <span>
#include <utility>

namespace quorlin::exporter {

namespace {

constexpr std::array all_verdicts = {Verdict::authentication_confirmed, Verdict::data_plane_confirmed,
                                     Verdict::unconfirmed, Verdict::local_error};

double seconds(Clock::duration span) { return std::chrono::duration<double>(span).count(); }

prometheus::Family<prometheus::Gauge>& gauge(prometheus::Registry& registry, const std::string& name,
                                             const std::string& help) {
    return prometheus::BuildGauge().Name(name).Help(help).Register(registry);
}

void set_single(prometheus::Registry& registry, const std::string& name, const std::string& help, double value) {
    gauge(registry, name, help).Add({}).Set(value);
}

struct PhaseSeries {
    std::optional<Clock::duration> duration;  // none when it never ran
    bool success = true;
};

using SeriesMap = std::map<std::pair<std::string, std::string>, PhaseSeries>;

// The `check` label of a phase: what the check asked for (the ping target,
// the DNS name, ADDR:PORT), empty for the other phases.
std::string check_label(const PhaseResult& phase) { return phase.subject.value_or(""); }

// A ping target as the check that ran would name it.
// As the report writes a target: "fd00:99::1" for "FD00:99:0::1".
std::string ping_label(const std::string& text) {
    const auto address = parse_ip_address(text);
    return address ? ip_text(*address) : text;
}

// The phases that ran, one series per (phase, check), then every check asked
// that did not run (skipped, or never reached), failed and without duration:
// as the report records them, or from the target's settings when no probe ran.
SeriesMap phase_series(const ProbeReport* report, const input::OptionTexts* options) {
    SeriesMap series;
    for (const PhaseResult& phase : report ? std::span(report->phases) : std::span<const PhaseResult>{}) {
        if (phase.status == PhaseStatus::skipped) continue;
        PhaseSeries& one = series[{phase.phase, check_label(phase)}];
        one.duration = std::max(one.duration.value_or(Clock::duration{}), phase.elapsed);
        // The keepalive cannot be answered: sent is as far as it goes.
        one.success = one.success && (phase.status == PhaseStatus::passed || phase.status == PhaseStatus::sent);
    }
    ProbeReport::AskedChecks asked;
    if (report != nullptr) {
        asked = report->asked;
    } else if (options != nullptr) {
        for (const std::string& ping : options->ping) asked.ping.push_back(ping_label(ping));
        asked.resolve = options->resolve;
        for (const std::string& tcp : options->tcp) {
            const auto target = input::parse_tcp_target(tcp, "tcp");
            asked.tcp.push_back(target ? target->to_text() : tcp);
        }
        for (const std::string& tls : options->tls) {
            const auto target = input::parse_tls_target(tls, "tls");
            asked.tls.push_back(target ? target->to_text() : tls);
        }
        asked.http = options->http;
        asked.path_mtu = options->mtu_check && !options->ping.empty();
    }
    const auto asked_check = [&series](std::string_view phase, std::string check) {
        // Inserted only when absent: a check that ran keeps its own series.
        series.try_emplace({std::string(phase), std::move(check)}, PhaseSeries{std::nullopt, false});
    };
    for (const std::string& ping : asked.ping) asked_check(phase_name::ping, ping);
    for (const std::string& name : asked.resolve) asked_check(phase_name::dns, name);
    for (const std::string& port : asked.tcp) asked_check(phase_name::tcp, port);
    for (const std::string& service : asked.tls) asked_check(phase_name::tls, service);
    for (const std::string& url : asked.http) asked_check(phase_name::http, url);
    if (asked.path_mtu) asked_check(phase_name::path_mtu, asked.ping.front());
    return series;
}

// Per check asked, the assessment's verdict on it (a ping target with all its
// echoes, a DNS name, the path MTU), not per echo.
void add_check_success(prometheus::Registry& registry, const Assessment& assessment) {
    auto& success = gauge(registry, "quorlin_check_success",
                          "1 when the check passed: a ping target within its thresholds, a DNS name with an A record, "
                          "a TCP port that accepts, a TLS certificate that verifies, an HTTP status accepted, "
                          "the path MTU as expected");
    std::map<std::pair<std::string, std::string>, bool> passed;
    for (const CheckAssessment& check : assessment.checks) {
        const auto [each, inserted] = passed.try_emplace({std::string(check_phase_name(check.kind)), check.subject}, true);
        each->second = each->second && check.passed;
    }
    for (const auto& [key, value] : passed) success.Add({{"check", key.first}, {"target", key.second}}).Set(value ? 1 : 0);
}

// Per ping target: loss and round trips (a target whose echoes never went
// out lost them all); per path MTU search: the sizes. A value that does not
// exist (no echo answered) is left out.
void add_path_quality(prometheus::Registry& registry, const ProbeReport& report, const Assessment& assessment) {
    auto& loss = gauge(registry, "quorlin_ping_loss_ratio", "Share of the echoes to a ping target that went unanswered");
    auto& rtt_min = gauge(registry, "quorlin_ping_rtt_min_seconds", "Shortest echo round trip to a ping target");
    auto& rtt_avg = gauge(registry, "quorlin_ping_rtt_avg_seconds", "Average echo round trip to a ping target");
    auto& rtt_max = gauge(registry, "quorlin_ping_rtt_max_seconds", "Longest echo round trip to a ping target");
    for (const CheckAssessment& check : assessment.checks) {
        if (check.kind != CheckKind::ping) continue;
        const prometheus::Labels labels{{"check", check.subject}};
        loss.Add(labels).Set(check.ping ? check.ping->loss_percent().value_or(100) / 100 : 1);
        if (!check.ping || !check.ping->rtt_avg) continue;
        const PingSummary& ping = *check.ping;
        rtt_min.Add(labels).Set(seconds(*ping.rtt_min));
        rtt_avg.Add(labels).Set(seconds(*ping.rtt_avg));
        rtt_max.Add(labels).Set(seconds(*ping.rtt_max));
    }
    for (const PhaseResult& phase : report.phases) {
        if (!phase.subject) continue;
        const prometheus::Labels labels{{"check", *phase.subject}};
        if (phase.certificate_not_after) {
            gauge(registry, "quorlin_tls_certificate_expiry_timestamp_seconds",
                  "When the leaf certificate a TLS check got expires, in seconds since the Unix epoch")
                .Add(labels).Set(static_cast<double>(*phase.certificate_not_after));
        }
        if (phase.http_status) {
            gauge(registry, "quorlin_http_status_code", "The status an HTTP check got").Add(labels).Set(*phase.http_status);
        }
    }
    const PhaseResult* mtu = path_mtu_phase(report);
    if (mtu == nullptr || !mtu->path_mtu || !mtu->subject) return;
    const prometheus::Labels labels{{"check", *mtu->subject}};
    gauge(registry, "quorlin_path_mtu_expected_bytes", "Inner packet size the path MTU search expected to cross")
        .Add(labels).Set(mtu->path_mtu->expected);
    if (mtu->path_mtu->largest_crossed) {
        gauge(registry, "quorlin_path_mtu_bytes", "Largest inner packet that crossed the tunnel and back")
            .Add(labels).Set(*mtu->path_mtu->largest_crossed);
    }
}

}  // namespace

std::string probe_metrics_text(const ProbeOutcome& outcome) {
    prometheus::Registry registry;
    std::optional<Assessment> assessment;
    if (outcome.report) assessment = assess(*outcome.report, Thresholds{{}, outcome.ping_thresholds, outcome.certificate_thresholds});
    const ServiceState state = assessment ? assessment->state : ServiceState::unknown;
    set_single(registry, "probe_success", "1 when the probe's state is OK: every check asked passed, else 0",
               state == ServiceState::ok ? 1 : 0);
    set_single(registry, "quorlin_probe_state",
               "The probe's state as a monitoring plugin gives it: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN",
               static_cast<double>(exit_status(state)));
    set_single(registry, "probe_duration_seconds", "How long the probe took, in seconds", seconds(outcome.duration));

    const Verdict verdict = outcome.report ? outcome.report->verdict : Verdict::local_error;
    auto& verdicts = gauge(registry, "quorlin_probe_verdict", "The probe's verdict: 1 for the one reached, else 0");
    for (const Verdict each : all_verdicts) {
        verdicts.Add({{"verdict", std::string(verdict_text(each))}}).Set(each == verdict ? 1 : 0);
    }

    auto& durations = gauge(registry, "quorlin_phase_duration_seconds", "How long each phase that ran took, in seconds");
    auto& successes = gauge(registry, "quorlin_phase_success", "1 when the phase passed (the keepalive: was sent), else 0");
    for (const auto& [key, series] : phase_series(outcome.report, outcome.asked)) {
        const prometheus::Labels labels{{"phase", key.first}, {"check", key.second}};
        if (series.duration) durations.Add(labels).Set(seconds(*series.duration));
        successes.Add(labels).Set(series.success ? 1 : 0);
    }

    if (assessment && assessment->handshake) {
        set_single(registry, "quorlin_handshake_rtt_seconds",
                   "Round trip of the handshake initiation that was answered (a lost one's wait is not in it)",
                   seconds(*assessment->handshake));
    }
    if (assessment) {
        add_check_success(registry, *assessment);
        add_path_quality(registry, *outcome.report, *assessment);
    }

    const ProbeReport* report = outcome.report;
    set_single(registry, "quorlin_probe_sent_bytes", "UDP payload bytes the probe sent to the peer",
               report ? static_cast<double>(report->sent_bytes) : 0);
    set_single(registry, "quorlin_probe_received_bytes", "UDP payload bytes the probe received from the peer",
               report ? static_cast<double>(report->received_bytes) : 0);
    return prometheus::TextSerializer().Serialize(registry.Collect());
}

}  // namespace quorlin::exporter
