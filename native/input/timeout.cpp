#include "input/timeout.hpp"

namespace quorlin::input {

std::expected<Duration, std::string> timeout(std::int64_t value_ms, std::string_view name) {
    const auto value = static_cast<std::uint64_t>(value_ms);
    if (value < 1 || value > max_timeout_ms) {
        return std::unexpected(std::string(name) + " must be an integer from 1 through " +
                               std::to_string(max_timeout_ms));
    }
    return Duration::from_millis(value);
}

std::string timeout_conversion_message() {
    return "timeout must be an integer from 1 through " + std::to_string(max_timeout_ms);
}

}  // namespace quorlin::input
