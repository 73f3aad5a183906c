#include "command/number_option.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <expected>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>

namespace quorlin::command {

namespace {

bool all_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string not_whole(std::string_view text) { return "Value " + std::string(text) + " is not a whole number"; }

std::string range_message(std::string_view text, std::string_view min, std::string_view max) {
    return "Value " + std::string(text) + " not in range " + std::string(min) + " to " + std::string(max);
}

// The shortest text of a range's end, for its message: 3600, 0.5.
std::string bound_text(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// A whole number beyond 64 bits comes back as the nearest 64-bit value: out
// of every range a caller checks.
std::expected<std::int64_t, std::string> parse_whole_number(std::string_view text) {
    const bool negative = text.starts_with('-');
    const std::string_view digits = negative ? text.substr(1) : text;
    if (!all_digits(digits)) return std::unexpected(not_whole(text));
    if (digits.size() > 1 && digits.front() == '0') {
        return std::unexpected(not_whole(text) + " (decimal digits, no leading zero)");
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc::result_out_of_range) {
        return negative ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    }
    if (error != std::errc{} || end != text.data() + text.size()) return std::unexpected(not_whole(text));
    return value;
}

std::expected<double, std::string> parse_decimal(std::string_view text) {
    const auto refused = [&] { return std::unexpected("Value " + std::string(text) + " is not a decimal number"); };
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    if (!all_digits(whole)) return refused();
    if (point != std::string_view::npos && !all_digits(text.substr(point + 1))) return refused();
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return refused();
    return value;
}

}  // namespace

CLI::Option* whole_number_option(CLI::Option* option, std::optional<WholeRange> range) {
    // Validators see the text before CLI11 converts it; a valid text means the
    // same in CLI11's reading. A transform, as it may rewrite the text.
    return option->transform(CLI::Validator(
        [range](std::string& text) {
            const auto value = parse_whole_number(text);
            if (!value) return value.error();
            if (range && (*value < range->min || *value > range->max)) {
                return range_message(text, std::to_string(range->min), std::to_string(range->max));
            }
            // A number beyond 64 bits reaches CLI11 as the nearest one, for the
            // caller's own range check.
            text = std::to_string(*value);
            return std::string();
        },
        ""));
}

CLI::Option* decimal_option(CLI::Option* option, double min, double max) {
    return option->check(CLI::Validator(
        [min, max](std::string& text) {
            const auto value = parse_decimal(text);
            if (!value) return value.error();
            if (*value < min || *value > max) return range_message(text, bound_text(min), bound_text(max));
            return std::string();
        },
        ""));
}

}  // namespace quorlin::command
