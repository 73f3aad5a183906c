#pragma once
// Numbers on the command line are read as plain decimals, nothing else: no
// base prefix, no leading zero (CLI11 alone reads 0100 as octal and 0x10 as
// hex), no exponent, no nan. A text that is not such a number is told so; a
// range message is only for a number that is one but lies outside.

#include <cstdint>
#include <optional>

namespace CLI {
class Option;
}  // namespace CLI

namespace quorlin::command {

struct WholeRange {
    std::int64_t min;
    std::int64_t max;
};

// Checks the option's texts as whole numbers ("-12", "0", "86400000"), within
// `range` when given (without one, the caller's own check of the value gives
// the range message).
CLI::Option* whole_number_option(CLI::Option* option, std::optional<WholeRange> range = std::nullopt);

// Checks the option's texts as decimals ("0.5", "2": digits with an optional
// fraction, no sign) from `min` through `max`.
CLI::Option* decimal_option(CLI::Option* option, double min, double max);

}  // namespace quorlin::command
