#pragma once
// The log line of one probe that ran, from its report and assessment:
//   probed target "NAME" for CLIENT: VERDICT, STATE
//   probed target "NAME" for CLIENT: VERDICT, STATE: REASON; REASON
// A probe that is not OK is logged at info, with each reason its state has
// (what stopped it, each threshold reached, each check that failed); every
// other probe at debug.

#include "exporter/log_level.hpp"
#include "probe/assessment.hpp"
#include "probe/report.hpp"

#include <string>
#include <string_view>

namespace quorlin::exporter {

struct ProbeLogLine {
    LogLevel level = LogLevel::debug;
    std::string text;
};

ProbeLogLine probe_log_line(std::string_view target, std::string_view client, const ProbeReport& report,
                            const Assessment& assessment);

// The level probe_log_line gives, without building the line.
constexpr LogLevel probe_log_level(ServiceState state) noexcept {
    return state == ServiceState::ok ? LogLevel::debug : LogLevel::info;
}

}  // namespace quorlin::exporter
