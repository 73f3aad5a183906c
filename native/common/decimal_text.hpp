#pragma once
// Times and counts as the command's outputs write them: fixed decimals, no
// locale, no exponent.

#include "common/clock.hpp"

#include <cstdint>
#include <string>

namespace quorlin {

// Whole microseconds of a span; 0 for a negative one.
std::uint64_t whole_microseconds(Clock::duration span);
// A count of thousandths as a decimal with three places: 581 -> "0.581".
void append_thousandths(std::string& out, std::uint64_t thousandths);
// Seconds with six places and the unit: "0.000581s".
void append_seconds(std::string& out, Clock::duration span);
// A percentage rounded to a whole number: 66.67 -> "67".
std::string whole_percent(double percent);

}  // namespace quorlin
