#include "command/fleet_nagios_line.hpp"

#include "command/perfdata.hpp"
#include "command/plugin_text.hpp"

#include <string_view>

namespace quorlin::command {

namespace {

void append_count_datum(std::string& out, std::string_view label, std::size_t count, std::size_t total) {
    append_perf_datum(out, {.label = label, .value = std::to_string(count), .max = std::to_string(total)});
}

}  // namespace

std::string fleet_nagios_line(const FleetTally& tally, ServiceState state, const HandshakeThresholds& thresholds,
                              std::string_view stopped_by) {
    std::string out = "WIREGUARD ";
    out += state_text(state);
    out += " - ";
    if (!stopped_by.empty()) {
        out += stopped_by;
        out += " after ";
    }
    out += targets_text(tally) + ": ";
    for (ServiceState counted : {ServiceState::ok, ServiceState::warning, ServiceState::critical, ServiceState::unknown}) {
        if (counted != ServiceState::ok) out += ", ";
        out += std::to_string(tally.in_state(counted)) + " ";
        out += state_text(counted);
    }
    for (ServiceState alert : alert_order) {
        const std::vector<std::string>& names = tally.named[static_cast<std::size_t>(alert)];
        if (names.empty()) continue;
        out += summary_part_separator;
        out += state_text(alert);
        out += ": ";
        for (const std::string& name : names) out += (&name == &names.front() ? "" : ", ") + name;
        const std::size_t more = tally.in_state(alert) - names.size();
        if (more > 0) out += " and " + std::to_string(more) + " more";
    }
    out += " |";
    append_count_datum(out, "ok", tally.in_state(ServiceState::ok), tally.total);
    append_count_datum(out, "warning", tally.in_state(ServiceState::warning), tally.total);
    append_count_datum(out, "critical", tally.in_state(ServiceState::critical), tally.total);
    append_count_datum(out, "unknown", tally.in_state(ServiceState::unknown), tally.total);
    // No handshake passed: no slowest one, and no label (never U).
    if (tally.slowest_handshake) {
        append_perf_datum(out, {.label = "slowest_handshake",
                                .value = seconds_value(*tally.slowest_handshake),
                                .warning = seconds_level(thresholds.warning_ms),
                                .critical = seconds_level(thresholds.critical_ms)});
    }
    out.push_back('\n');
    return out;
}

}  // namespace quorlin::command
