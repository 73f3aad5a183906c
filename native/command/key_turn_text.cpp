#include "command/key_turn_text.hpp"

#include <chrono>

namespace quorlin::command {

std::optional<std::string> key_turn_wait_note(const ProbeReport& report) {
    if (!report.key_turn_wait) return std::nullopt;
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(*report.key_turn_wait).count() / 100;
    if (tenths < 1) return std::nullopt;
    return "waited " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s for the turn of this key";
}

}  // namespace quorlin::command
