#include "command/ping_text.hpp"

#include "common/decimal_text.hpp"

namespace quorlin::command {

bool several_echoes(const std::vector<PingSummary>& pings, const ProbeReport& report) noexcept {
    std::size_t echoes = 0;
    for (const PhaseResult& phase : report.phases) echoes += phase.phase == phase_name::ping;
    return echoes > pings.size();
}

std::string ping_summary_text(std::string_view shown_target, const PingSummary& ping) {
    std::string out = "ping ";
    out += shown_target;
    out += ": " + std::to_string(ping.received) + " of " + std::to_string(ping.sent) + " received";
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

}  // namespace quorlin::command
