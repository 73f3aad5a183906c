#pragma once
// Every line the exporter logs goes through one Logger, which drops the lines
// below the level asked for. The line itself is unchanged: the sink writes it
// as the command writes any message.

#include "exporter/log_level.hpp"

#include <functional>
#include <string_view>

namespace quorlin::exporter {

// Receives one log line (without prefix or newline); called from any thread.
using LogSink = std::function<void(std::string_view line)>;

class Logger {
public:
    // `sink` must be safe to call from any thread.
    Logger(LogLevel level, LogSink sink);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Whether lines at `level` are written: check it before building a costly line.
    bool enabled(LogLevel level) const noexcept { return level >= level_; }

    void log(LogLevel level, std::string_view line) const {
        if (enabled(level)) sink_(line);
    }
    void debug(std::string_view line) const { log(LogLevel::debug, line); }
    void info(std::string_view line) const { log(LogLevel::info, line); }
    void warn(std::string_view line) const { log(LogLevel::warn, line); }
    void error(std::string_view line) const { log(LogLevel::error, line); }

    // A sink for parts that log only refusals and errors (the HTTP server):
    // their lines go out at warn.
    const LogSink& warnings() const noexcept { return warnings_; }

private:
    LogLevel level_;
    LogSink sink_;
    LogSink warnings_;
};

}  // namespace quorlin::exporter
