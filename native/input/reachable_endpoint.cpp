#include "input/reachable_endpoint.hpp"

#include "common/utf8.hpp"
#include "probe/resolve.hpp"

namespace quorlin::input {

namespace {

constexpr std::string_view port_range = "an integer from 1 through 65535";

}  // namespace

std::optional<std::string> unreachable_endpoint(std::string_view endpoint, std::string_view name) {
    const std::string shown = lossy_utf8(endpoint);
    const std::size_t colon = endpoint.rfind(':');
    if (colon == std::string_view::npos) return std::string(name) + " must be HOST:PORT, got " + shown;
    std::string_view host = endpoint.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) return std::string(name) + " must name a host before the port, got " + shown;
    // The resolver's own reading of the port, without port 0, which no datagram reaches.
    if (const auto port = parse_lookup_port(endpoint.substr(colon + 1)); !port || *port == 0) {
        return std::string(name) + " port must be " + std::string(port_range) + ", got " + shown;
    }
    return std::nullopt;
}

}  // namespace quorlin::input
