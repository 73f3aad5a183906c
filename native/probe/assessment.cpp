#include "probe/assessment.hpp"

#include "common/decimal_text.hpp"
#include "packet/dns.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

namespace quorlin {

namespace {

constexpr std::string_view not_run = "not run: the probe ended before it";

std::string level_text(ServiceState level) { return level == ServiceState::critical ? "critical" : "warning"; }

std::string milliseconds_text(Clock::duration span) {
    std::string out;
    append_thousandths(out, whole_microseconds(span));
    return out + " ms";
}

std::string tries_text(std::uint32_t tries) { return tries > 1 ? ", " + std::to_string(tries) + " tries" : ""; }

// "7 of 10 received, 30% loss, round trip min/avg/max 0.301/0.412/0.633 ms"
std::string echoes_text(const PingSummary& ping) {
    std::string out = std::to_string(ping.received) + " of " + std::to_string(ping.sent) + " received";
    if (const auto loss = ping.loss_percent()) out += ", " + whole_percent(*loss) + "% loss";
    if (ping.rtt_avg) {
        out += ", round trip min/avg/max ";
        append_thousandths(out, whole_microseconds(*ping.rtt_min));
        out.push_back('/');
        append_thousandths(out, whole_microseconds(*ping.rtt_avg));
        out.push_back('/');
        append_thousandths(out, whole_microseconds(*ping.rtt_max));
        out += " ms";
    }
    return out;
}

// The level a ping target reaches, and the breaches that say why.
ServiceState ping_breaches(const PingSummary& ping, const PingThresholds& thresholds, std::vector<Breach>& out) {
    if (ping.sent == 0) return ServiceState::ok;
    const auto reached = [&](const std::optional<PingLimit>& limit) {
        if (!limit) return false;
        const bool slow = ping.rtt_avg && *ping.rtt_avg >= std::chrono::milliseconds(limit->rta_ms);
        return slow || ping.loss_percent().value_or(0) >= limit->loss_percent;
    };
    const ServiceState level = reached(thresholds.critical)  ? ServiceState::critical
                               : reached(thresholds.warning) ? ServiceState::warning
                                                             : ServiceState::ok;
    if (level == ServiceState::ok) return level;
    const PingLimit& limit = level == ServiceState::critical ? *thresholds.critical : *thresholds.warning;
    const std::string target = "ping " + ping.target;
    if (ping.rtt_avg && *ping.rtt_avg >= std::chrono::milliseconds(limit.rta_ms)) {
        out.push_back({level, target + " round trip average " + milliseconds_text(*ping.rtt_avg) + " reaches the " +
                                  level_text(level) + " threshold of " + std::to_string(limit.rta_ms) + " ms"});
    }
    if (const auto loss = ping.loss_percent(); loss && *loss >= limit.loss_percent) {
        out.push_back({level, target + " loss " + whole_percent(*loss) + "% reaches the " + level_text(level) +
                                  " threshold of " + whole_percent(limit.loss_percent) + "%"});
    }
    return level;
}

// The phases of one ping target, in order.
std::vector<const PhaseResult*> phases_of(const ProbeReport& report, std::string_view phase,
                                          const std::string& subject) {
    std::vector<const PhaseResult*> found;
    for (const PhaseResult& each : report.phases) {
        if (each.phase == phase && each.target == subject) found.push_back(&each);
    }
    return found;
}

std::vector<const PhaseResult*> phases_named(const ProbeReport& report, std::string_view phase) {
    std::vector<const PhaseResult*> found;
    for (const PhaseResult& each : report.phases) {
        if (each.phase == phase) found.push_back(&each);
    }
    return found;
}

CheckAssessment ping_check(const ProbeReport& report, const std::string& target, const PingSummary* summary,
                           const PingThresholds& thresholds, std::vector<Breach>& breaches) {
    CheckAssessment check{CheckKind::ping, target, target};
    const std::vector<const PhaseResult*> echoes = phases_of(report, "ping", target);
    if (summary == nullptr || echoes.empty()) {
        check.outcome = std::string(not_run);
        check.failure = "ping " + target + " not run";
        return check;
    }
    check.ping = *summary;
    check.ran = summary->sent > 0;
    const ServiceState level = ping_breaches(*summary, thresholds, breaches);
    check.answered = summary->received > 0;
    check.passed = check.answered && level == ServiceState::ok;
    if (!check.ran) {
        const PhaseResult& first = *echoes.front();
        check.outcome = first.detail.value_or(std::string(status_text(first.status)));
    } else if (echoes.size() > 1) {
        check.outcome = echoes_text(*summary);
    } else if (const PhaseResult& echo = *echoes.front(); echo.status == PhaseStatus::passed) {
        check.outcome = echo.detail.value_or("") + ", round trip " + milliseconds_text(measured_time(echo)) +
                        tries_text(echo.tries);
    } else {
        check.outcome = echo.detail.value_or(std::string(status_text(echo.status)));
    }
    // A target that answered but reached a threshold is told by its breach.
    if (summary->received == 0) check.failure = "ping " + target + (check.ran ? " unanswered" : " not run");
    return check;
}

CheckAssessment dns_check(const PhaseResult* phase, const std::string& name) {
    CheckAssessment check{CheckKind::dns, name, name};
    if (phase == nullptr) {
        check.outcome = std::string(not_run);
        check.failure = "dns " + name + " not run";
        return check;
    }
    check.target = phase->target.value_or(name);
    check.ran = phase->status != PhaseStatus::skipped && phase->sent_bytes > 0;
    check.outcome = phase->detail.value_or(std::string(status_text(phase->status)));
    if (phase->status != PhaseStatus::passed || !phase->dns) {
        check.failure = "dns " + name + (check.ran ? " unanswered" : " not run");
        return check;
    }
    // An answer proves the tunnel carries traffic; the service behind it is
    // still down when it says so, or holds no address for the name.
    check.answered = true;
    if (phase->dns->response_code != dns_noerror) {
        const std::string code = dns_response_code_name(phase->dns->response_code);
        check.outcome = "resolver answered " + code;
        check.failure = "dns " + name + " " + code;
    } else if (phase->dns->a_records == 0) {
        check.outcome = "resolver answered NOERROR without an A record";
        check.failure = "dns " + name + " no A record";
    } else {
        check.passed = true;
        check.outcome += tries_text(phase->tries);
    }
    return check;
}

// A certificate that expires within a threshold's days.
void certificate_breach(const std::string& named, std::int64_t not_after, const CertificateThresholds& thresholds,
                        std::vector<Breach>& out) {
    const std::int64_t days = certificate_days_left(not_after);
    const auto within = [days](std::optional<std::int64_t> limit) { return limit && days <= *limit; };
    const bool critical = within(thresholds.critical_days);
    if (!critical && !within(thresholds.warning_days)) return;
    const ServiceState level = critical ? ServiceState::critical : ServiceState::warning;
    const std::int64_t limit = critical ? *thresholds.critical_days : *thresholds.warning_days;
    const auto count = [](std::int64_t n) { return std::to_string(n) + (n == 1 ? " day" : " days"); };
    out.push_back({level, named + " certificate expires in " + count(days) + ", within the " + level_text(level) +
                              " threshold of " + count(limit)});
}

// A TCP, TLS or HTTP check. Answered but not as asked (a reset, an expired
// certificate, a 503), the tunnel works but the service does not.
CheckAssessment service_check(CheckKind kind, const PhaseResult* phase, const std::string& target,
                              const CertificateThresholds& thresholds, std::vector<Breach>& breaches) {
    CheckAssessment check{kind, target, target};
    const std::string named = std::string(check_phase_name(kind)) + " " + target;
    if (phase == nullptr) {
        check.outcome = std::string(not_run);
        check.failure = named + " not run";
        return check;
    }
    check.ran = phase->status != PhaseStatus::skipped && phase->sent_bytes > 0;
    check.outcome = phase->detail.value_or(std::string(status_text(phase->status)));
    if (phase->status != PhaseStatus::passed) {
        check.failure = named + (check.ran ? " unanswered" : " not run");
        return check;
    }
    check.answered = true;
    if (phase->service_failure) {
        check.failure = named + " " + *phase->service_failure;
        return check;
    }
    check.passed = true;
    if (phase->certificate_not_after) certificate_breach(named, *phase->certificate_not_after, thresholds, breaches);
    if (kind == CheckKind::tcp) {
        check.outcome += ", round trip " + milliseconds_text(measured_time(*phase)) + tries_text(phase->tries);
    }
    return check;
}

CheckAssessment path_mtu_check(const ProbeReport& report, const std::string& target) {
    CheckAssessment check{CheckKind::path_mtu, target, target};
    const PhaseResult* phase = path_mtu_phase(report);
    if (phase == nullptr) {
        check.outcome = std::string(not_run);
        check.failure = "path MTU not run";
        return check;
    }
    check.ran = phase->status != PhaseStatus::skipped;
    check.passed = phase->status == PhaseStatus::passed;
    check.outcome = phase->detail.value_or(std::string(status_text(phase->status)));
    check.path_mtu = phase->path_mtu;
    if (check.passed) return check;
    if (phase->path_mtu && phase->path_mtu->largest_crossed) {
        check.failure = "path MTU " + std::to_string(*phase->path_mtu->largest_crossed) + " below " +
                        std::to_string(phase->path_mtu->expected);
    } else {
        check.failure = "path MTU " + std::string(status_text(phase->status));
    }
    return check;
}

std::optional<Breach> handshake_breach(Clock::duration round_trip, const HandshakeThresholds& thresholds) {
    const auto above = [&](std::optional<std::uint64_t> limit) {
        return limit && round_trip > std::chrono::milliseconds(*limit);
    };
    const bool critical = above(thresholds.critical_ms);
    if (!critical && !above(thresholds.warning_ms)) return std::nullopt;
    const ServiceState level = critical ? ServiceState::critical : ServiceState::warning;
    return Breach{level, "handshake " + milliseconds_text(round_trip) + " above the " + level_text(level) +
                             " threshold of " + std::to_string(critical ? *thresholds.critical_ms : *thresholds.warning_ms) +
                             " ms",
                  true};
}

ServiceState state_of(const ProbeReport& report, const Assessment& assessment) {
    if (report.verdict == Verdict::unconfirmed || report.verdict == Verdict::local_error) return verdict_state(report);
    ServiceState state = ServiceState::ok;
    for (const Breach& breach : assessment.breaches) state = worse(state, breach.level);
    bool any_data = false;
    bool data_passed = false;
    for (const CheckAssessment& check : assessment.checks) {
        if (!check.passed) state = worse(state, ServiceState::warning);
        if (check.is_data_check()) {
            // A ping target that answered but reached a threshold still
            // carried traffic: its breach gives its level.
            any_data = true;
            data_passed = data_passed || check.passed || (check.kind == CheckKind::ping && check.answered);
        }
    }
    if (any_data && !data_passed) state = ServiceState::critical;
    return state;
}

}  // namespace

std::string phase_failure_text(const PhaseResult& phase) {
    std::string text = phase.phase;
    if (phase.target) text += " " + *phase.target;
    text += " " + std::string(status_text(phase.status));
    if (phase.detail) text += ": " + *phase.detail;
    return text;
}

std::size_t Assessment::passed_checks() const noexcept {
    return static_cast<std::size_t>(std::ranges::count(checks, true, &CheckAssessment::passed));
}

std::int64_t certificate_days_left(std::int64_t not_after) {
    constexpr std::int64_t day_seconds = 86'400;
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch()).count();
    const std::int64_t left = not_after - now;
    return left >= 0 ? left / day_seconds : -((-left + day_seconds - 1) / day_seconds);
}

std::string_view check_phase_name(CheckKind kind) noexcept {
    switch (kind) {
        case CheckKind::ping: return phase_name::ping;
        case CheckKind::dns: return phase_name::dns;
        case CheckKind::tcp: return phase_name::tcp;
        case CheckKind::tls: return phase_name::tls;
        case CheckKind::http: return phase_name::http;
        case CheckKind::path_mtu: break;
    }
    return phase_name::path_mtu;
}

Assessment assess(const ProbeReport& report, const Thresholds& thresholds) {
    Assessment assessment;
    if (const PhaseResult* handshake = passed_handshake(report)) {
        assessment.handshake = measured_time(*handshake);
        if (auto breach = handshake_breach(*assessment.handshake, thresholds.handshake)) {
            assessment.breaches.push_back(std::move(*breach));
        }
    }
    const std::vector<PingSummary> summaries = ping_summaries(report);
    const auto echoes = std::ranges::count(report.phases, phase_name::ping, &PhaseResult::phase);
    assessment.several_echoes = static_cast<std::size_t>(echoes) > summaries.size();
    std::vector<std::string> pinged;
    for (const std::string& target : report.asked.ping) {
        if (std::ranges::find(pinged, target) != pinged.end()) continue;  // one check per target
        pinged.push_back(target);
        const auto summary = std::ranges::find(summaries, target, &PingSummary::target);
        assessment.checks.push_back(ping_check(report, target,
                                               summary == summaries.end() ? nullptr : &*summary, thresholds.ping,
                                               assessment.breaches));
    }
    // DNS and TCP phases come in the order asked, one per check.
    const std::vector<const PhaseResult*> lookups = phases_named(report, phase_name::dns);
    for (std::size_t index = 0; index < report.asked.resolve.size(); ++index) {
        assessment.checks.push_back(
            dns_check(index < lookups.size() ? lookups[index] : nullptr, report.asked.resolve[index]));
    }
    for (const auto& [kind, asked] : {std::pair{CheckKind::tcp, &report.asked.tcp},
                                      std::pair{CheckKind::tls, &report.asked.tls},
                                      std::pair{CheckKind::http, &report.asked.http}}) {
        const std::vector<const PhaseResult*> ran = phases_named(report, check_phase_name(kind));
        for (std::size_t index = 0; index < asked->size(); ++index) {
            assessment.checks.push_back(service_check(kind, index < ran.size() ? ran[index] : nullptr, (*asked)[index],
                                                      thresholds.certificate, assessment.breaches));
        }
    }
    if (report.asked.path_mtu && !report.asked.ping.empty()) {
        assessment.checks.push_back(path_mtu_check(report, report.asked.ping.front()));
    }
    assessment.state = state_of(report, assessment);
    return assessment;
}

}  // namespace quorlin
