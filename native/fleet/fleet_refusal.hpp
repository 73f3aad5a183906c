#pragma once
// Why a fleet file was refused, and where: one line
//   FILE:LINE:COLUMN: target "NAME": MESSAGE
// The position is where the refused value (or table) was written, as the TOML
// reader counts it (from 1); the target part is left out for the file as a
// whole and for [defaults].

#include <cstdint>
#include <string>
#include <string_view>

namespace quorlin::fleet {

struct SourcePosition {
    std::uint32_t line = 0;  // 0: no position
    std::uint32_t column = 0;
};

struct FleetRefusal {
    SourcePosition at;
    std::string target;  // `target "NAME"`, `target #N` while it has no usable name, or empty
    std::string message;
};

std::string refusal_text(const FleetRefusal& refusal, std::string_view file);

// How a refusal names a target, the prefix of its message: `target "NAME"`,
// or `target #N` by its place in the file. (Not a label: labels are the
// name-value pairs a target carries to Prometheus.)
std::string target_prefix(std::string_view name);
std::string target_prefix(std::size_t index);

}  // namespace quorlin::fleet
