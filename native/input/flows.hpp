#pragma once
// From the caller's texts to a validated plan, in either probe mode. Every
// refusal is the exact message text, found before any traffic: option errors
// first, then (raw-key mode) the argument rules, then the input file, then the
// plan's own validation. Nothing here touches a Python object, so the module
// runs it with the interpreter lock released, and the command uses it as is.

#include "input/options.hpp"
#include "input/timeout.hpp"
#include "probe/plan.hpp"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorlin::input {

// The raw-key arguments that a configuration file would otherwise supply.
struct RawKeyTexts {
    std::string peer_key;
    std::string endpoint;
    std::optional<std::string> address;
    std::vector<std::string> allowed_ips;  // IPv4 and IPv6 prefixes
    std::optional<std::string> address6;   // the source of IPv6 checks
};

// `path` is a file-system path as the system sees it (a byte string).
std::expected<ProbePlan, std::string> plan_config_file(const std::string& path, OptionTexts options);
std::expected<ProbePlan, std::string> plan_raw_key(const std::string& path, RawKeyTexts raw, OptionTexts options);

// The same flows, saying which step refused: a caller that knows where each
// input was written (a fleet file) points at the value behind the refusal.
// `shown` names the file in messages where `path` has its links resolved.
// `deadline`: the plan was valid but cannot finish within its deadline.
enum class PlanStep : std::uint8_t { options, raw_key_arguments, input_file, validation, deadline };

struct PlanRefusal {
    PlanStep step = PlanStep::options;
    std::string message;
};

std::expected<ProbePlan, PlanRefusal> plan_config_file_by_step(const std::string& path, OptionTexts options,
                                                               std::string_view shown = {});
std::expected<ProbePlan, PlanRefusal> plan_raw_key_by_step(const std::string& path, RawKeyTexts raw,
                                                           OptionTexts options, std::string_view shown = {});

}  // namespace quorlin::input
