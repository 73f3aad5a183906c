#include "fleet/names.hpp"

#include <algorithm>

namespace quorlin::fleet {

namespace {

bool ascii_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

bool is_target_name(std::string_view text) noexcept {
    return !text.empty() && std::ranges::all_of(text, [](char c) {
        return ascii_letter(c) || ascii_digit(c) || c == '.' || c == '_' || c == '-';
    });
}

std::optional<std::string> label_name_refusal(std::string_view name) {
    const bool well_formed = !name.empty() && !ascii_digit(name.front()) &&
                             std::ranges::all_of(name, [](char c) { return ascii_letter(c) || ascii_digit(c) || c == '_'; });
    if (!well_formed) {
        return "label name \"" + std::string(name) +
               "\" must be letters, digits and '_', not starting with a digit";
    }
    if (name.starts_with("__")) return "label name \"" + std::string(name) + "\" must not start with \"__\"";
    return std::nullopt;
}

}  // namespace quorlin::fleet
