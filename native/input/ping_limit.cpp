#include "input/ping_limit.hpp"

#include "input/timeout.hpp"

#include <charconv>

namespace quorlin::input {

namespace {

// Plain decimal digits, nothing else: no sign, no base prefix, no spaces.
std::optional<std::uint64_t> whole(std::string_view digits) {
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

}  // namespace

std::expected<PingLimit, std::string> parse_ping_limit(std::string_view text, std::string_view name) {
    const auto refused = [&] {
        return std::unexpected(std::string(name) + " must be RTA_MS,LOSS% (for example 100,20%), got " +
                               std::string(text));
    };
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos || !text.ends_with('%')) return refused();
    const auto rta = whole(text.substr(0, comma));
    const auto loss = whole(text.substr(comma + 1, text.size() - comma - 2));
    if (!rta || !loss || *rta > max_timeout_ms || *loss > 100) return refused();
    return PingLimit{*rta, static_cast<double>(*loss)};
}

}  // namespace quorlin::input
