#pragma once
// Performance data as the plugin guidelines write it, for the probe's and
// the fleet's plugin lines alike:
//   'label'=VALUE[UOM];[warn];[crit];[min][;max]
// A level, minimum or maximum that does not exist is an empty field, and
// trailing empty fields are left out; most data count from 0.

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
    std::string min = "0";
};

void append_perf_datum(std::string& out, const PerfDatum& datum);

// "0.000412s", the value of a time datum.
std::string seconds_value(Clock::duration span);
// A level of a time datum from milliseconds, in seconds without the unit
// ("0.5"); empty when there is no such level.
std::string seconds_level(std::optional<std::uint64_t> milliseconds);

}  // namespace quorlin::command
