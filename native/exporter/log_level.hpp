#pragma once
// How much the exporter logs: --log.level, as the Prometheus exporters spell
// it. Header-only: the command line checks it without linking the exporter.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorlin::exporter {

// In rising order: a level shows its own lines and every line above it.
//   debug  every probe, and each query parameter ignored
//   info   the start, reloads, the stop, and each probe that was not OK
//   warn   refused requests and files, closed connections, errors
//   error  only what stops the exporter
enum class LogLevel : std::uint8_t { debug, info, warn, error };

inline constexpr LogLevel default_log_level = LogLevel::info;
inline constexpr std::array<std::string_view, 4> log_level_names{"debug", "info", "warn", "error"};

constexpr std::optional<LogLevel> parse_log_level(std::string_view text) noexcept {
    for (std::size_t index = 0; index < log_level_names.size(); ++index) {
        if (text == log_level_names[index]) return static_cast<LogLevel>(index);
    }
    return std::nullopt;
}

}  // namespace quorlin::exporter
