#pragma once
// Loss and round trips per ping target in words, for the table and the
// plugin line alike.

#include "probe/ping_summary.hpp"

#include <string>
#include <vector>

namespace quorlin::command {

// Whether some ping target got several echoes: its loss and round trips are
// then told per target; a single echo per target is told as its own check.
bool several_echoes(const std::vector<PingSummary>& pings, const ProbeReport& report) noexcept;

// "ping TARGET: 7 of 10 received, 30% loss, round trip min/avg/max
// 0.301/0.412/0.633 ms", with the target as the caller shows it.
std::string ping_summary_text(std::string_view shown_target, const PingSummary& ping);

}  // namespace quorlin::command
