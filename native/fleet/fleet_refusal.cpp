#include "fleet/fleet_refusal.hpp"

namespace quorlin::fleet {

std::string refusal_text(const FleetRefusal& refusal, std::string_view file) {
    std::string out(file);
    if (refusal.at.line > 0) {
        out += ":" + std::to_string(refusal.at.line) + ":" + std::to_string(refusal.at.column);
    }
    out += ": ";
    if (!refusal.target.empty()) out += refusal.target + ": ";
    out += refusal.message;
    return out;
}

std::string target_prefix(std::string_view name) { return "target \"" + std::string(name) + "\""; }

std::string target_prefix(std::size_t index) { return "target #" + std::to_string(index + 1); }

}  // namespace quorlin::fleet
