#pragma once
// The rules for names a fleet file gives: target names, which the command
// line and the exporter's requests select by, and label names, which become
// Prometheus labels.

#include <optional>
#include <string>
#include <string_view>

namespace quorlin::fleet {

// One or more ASCII letters, digits, '.', '_' or '-'.
bool is_target_name(std::string_view text) noexcept;

// Why `name` cannot be a label name, or nothing when it can: Prometheus'
// rule [a-zA-Z_][a-zA-Z0-9_]*, and not starting with "__", which Prometheus
// keeps for its own labels.
std::optional<std::string> label_name_refusal(std::string_view name);

}  // namespace quorlin::fleet
