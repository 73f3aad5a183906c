#include "command/perfdata.hpp"

#include "common/decimal_text.hpp"

namespace quorlin::command {

void append_perf_datum(std::string& out, const PerfDatum& datum) {
    out += " '";
    out += datum.label;
    out += "'=" + datum.value + ";" + datum.warning + ";" + datum.critical + ";0";
    if (!datum.max.empty()) out += ";" + datum.max;
}

std::string seconds_value(Clock::duration span) {
    std::string text;
    append_seconds(text, span);
    return text;
}

std::string seconds_level(std::optional<std::uint64_t> milliseconds) {
    std::string text;
    if (milliseconds) append_thousandths(text, *milliseconds);
    return text;
}

}  // namespace quorlin::command
