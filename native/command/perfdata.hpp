#pragma once
// Performance data as the plugin guidelines write it, for the probe's and
// the fleet's plugin lines alike:
//   'label'=VALUE[UOM];[warn];[crit];0[;max]
// Every datum here counts from 0; a level or maximum that does not exist is
// an empty field (and a trailing maximum is left out).

#include "common/clock.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorlin::command {

struct PerfDatum {
    std::string_view label;
    std::string value;  // with its unit: "0.000412s", "30%", "1420B", "3"
    std::string warning;
    std::string critical;
    std::string max;
};

void append_perf_datum(std::string& out, const PerfDatum& datum);

// "0.000412s", the value of a time datum.
std::string seconds_value(Clock::duration span);
// A level of a time datum from milliseconds, in seconds without the unit
// ("0.5"); empty when there is no such level.
std::string seconds_level(std::optional<std::uint64_t> milliseconds);

}  // namespace quorlin::command
