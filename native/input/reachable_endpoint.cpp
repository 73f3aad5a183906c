#include "input/reachable_endpoint.hpp"

#include "common/utf8.hpp"

#include <algorithm>

namespace quorlin::input {

namespace {

constexpr std::string_view port_range = "an integer from 1 through 65535";

// Decimal 1 to 65535, with the optional '+' a host-name lookup accepts.
bool usable_port(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || text.size() > 5 || !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const unsigned long port = std::stoul(std::string(text));
    return port >= 1 && port <= 65535;
}

}  // namespace

std::optional<std::string> unreachable_endpoint(std::string_view endpoint, std::string_view name) {
    const std::string shown = lossy_utf8(endpoint);
    const std::size_t colon = endpoint.rfind(':');
    if (colon == std::string_view::npos) return std::string(name) + " must be HOST:PORT, got " + shown;
    std::string_view host = endpoint.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) return std::string(name) + " must name a host before the port, got " + shown;
    if (!usable_port(endpoint.substr(colon + 1))) {
        return std::string(name) + " port must be " + std::string(port_range) + ", got " + shown;
    }
    return std::nullopt;
}

}  // namespace quorlin::input
