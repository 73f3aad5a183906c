#include "exporter/response_headers.hpp"

#include <algorithm>
#include <cctype>

namespace quorlin::exporter {

namespace {

bool same_name(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// An HTTP token: letters, digits and !#$%&'*+-.^_`|~.
bool is_token(std::string_view text) {
    constexpr std::string_view marks = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::ranges::all_of(text, [&](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || marks.find(c) != std::string_view::npos;
    });
}

// Visible characters, spaces and tabs: no line break can end the header early.
bool is_field_value(std::string_view text) {
    return std::ranges::all_of(text, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte == '\t' || (byte >= 0x20 && byte != 0x7f);
    });
}

}  // namespace

std::expected<void, std::string> check_response_header(std::string_view name, std::string_view value) {
    const std::string quoted = "header \"" + std::string(name) + "\"";
    if (!is_token(name)) return std::unexpected(quoted + " is not a header name");
    if (std::ranges::any_of(reserved_response_headers, [&](std::string_view reserved) { return same_name(name, reserved); })) {
        return std::unexpected(quoted + " is set by the exporter itself");
    }
    if (!is_field_value(value)) return std::unexpected("the value of " + quoted + " holds a control character");
    if (same_name(name, "X-Frame-Options") && !same_name(value, "deny") && !same_name(value, "sameorigin")) {
        return std::unexpected("X-Frame-Options must be deny or sameorigin");
    }
    if (same_name(name, "X-Content-Type-Options") && !same_name(value, "nosniff")) {
        return std::unexpected("X-Content-Type-Options must be nosniff");
    }
    return {};
}

}  // namespace quorlin::exporter
