#include "command/perfdata.hpp"

#include "common/decimal_text.hpp"

namespace quorlin::command {

void append_perf_datum(std::string& out, const PerfDatum& datum) {
    out += " '";
    out += datum.label;
    out += "'=" + datum.value;
    // Trailing empty fields are left out.
    const std::string* fields[] = {&datum.warning, &datum.critical, &datum.min, &datum.max};
    std::size_t used = std::size(fields);
    while (used > 0 && fields[used - 1]->empty()) --used;
    for (std::size_t i = 0; i < used; ++i) out += ";" + *fields[i];
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
