#include "exporter/logger.hpp"

#include <utility>

namespace quorlin::exporter {

Logger::Logger(LogLevel level, LogSink sink)
    : level_(level), sink_(std::move(sink)), warnings_([this](std::string_view line) { warn(line); }) {}

}  // namespace quorlin::exporter
