#pragma once
// Reports built by hand, for the tests of what reads them: the outcome rule
// and the command's and the fleet's output formats.

#include "probe/report.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorlin::test {

inline PhaseResult phase(std::string_view name, PhaseStatus status, std::optional<std::string> target = std::nullopt,
                         std::chrono::microseconds elapsed = {}, std::optional<std::string> detail = std::nullopt,
                         std::optional<FailureCause> cause = std::nullopt) {
    PhaseResult result;
    result.phase = std::string(name);
    result.status = status;
    result.target = std::move(target);
    result.elapsed = elapsed;
    result.detail = std::move(detail);
    result.cause = cause;
    return result;
}

// The checks asked are read from the phases, as a run would have recorded
// them: each ping target once, each DNS name (the subject, else the target up
// to " via "), each TCP port, the path MTU when it has a phase.
inline ProbeReport report(Verdict verdict, std::vector<PhaseResult> phases, std::string endpoint = "peer.test:51820") {
    ProbeReport built(std::move(endpoint), "key");
    built.verdict = verdict;
    for (const PhaseResult& each : phases) {
        const std::string target = each.target.value_or("");
        if (each.phase == phase_name::ping) built.asked.ping.push_back(target);
        if (each.phase == phase_name::dns) built.asked.resolve.push_back(each.subject.value_or(target.substr(0, target.find(" via "))));
        if (each.phase == phase_name::tcp) built.asked.tcp.push_back(target);
        if (each.phase == phase_name::path_mtu) built.asked.path_mtu = true;
    }
    built.phases = std::move(phases);
    built.sent_bytes = 356;
    built.received_bytes = 284;
    return built;
}

inline PhaseResult handshake_passed(std::chrono::microseconds elapsed) {
    return phase(phase_name::handshake, PhaseStatus::passed, "127.0.0.1:51820", elapsed,
                 "authenticated WireGuard response");
}

}  // namespace quorlin::test
