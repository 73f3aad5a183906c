#pragma once
// What `quorlin exporter` is asked to do, with its defaults.

#include "exporter/log_level.hpp"

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace quorlin::exporter {

inline constexpr std::string_view default_listen = "127.0.0.1:9723";
inline constexpr std::size_t default_max_concurrent = 32;
inline constexpr std::chrono::milliseconds default_timeout_offset{500};

struct ExporterSettings {
    std::string fleet_file;
    std::string web_config_file;  // empty: none
    std::string listen{default_listen};  // checked "IPV4:PORT" or "[IPV6]:PORT"
    std::size_t max_concurrent = default_max_concurrent;
    std::chrono::nanoseconds timeout_offset = default_timeout_offset;
    LogLevel log_level = default_log_level;
};

}  // namespace quorlin::exporter
