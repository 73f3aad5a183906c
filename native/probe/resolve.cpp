#include "probe/resolve.hpp"

#include <string_view>
#include <utility>

#include "probe/address_lookup.hpp"
#include "probe/shared_lookups.hpp"
#include "probe/socket_address_literal.hpp"

namespace quorlin {

namespace {

ResolveError failure(std::string message) { return ResolveError{std::move(message), std::nullopt}; }

struct HostPort {
    std::string host;
    std::uint16_t port;
};

// "host:port" split at the last ':', refused before any lookup starts.
std::expected<HostPort, ResolveError> split_host_port(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::unexpected(failure("invalid socket address"));
    const auto port = parse_lookup_port(text.substr(colon + 1));
    if (!port) return std::unexpected(failure("invalid port value"));
    std::string host(text.substr(0, colon));
    if (host.find('\0') != std::string::npos) {
        return std::unexpected(failure("file name contained an unexpected NUL byte"));
    }
    return HostPort{std::move(host), *port};
}

}  // namespace

std::optional<std::uint16_t> parse_lookup_port(std::string_view text) noexcept {
    if (text.starts_with('+')) text.remove_prefix(1);
    return parse_port_number(text);
}

ResolveOutcome resolve_endpoint(std::string endpoint, Duration remaining) {
    if (remaining.is_zero()) return std::unexpected(failure("overall deadline expired before endpoint resolution"));
    // Fixed now, so a wait for a resolver worker counts against it too.
    const Instant deadline = checked_add(Clock::now(), remaining).value_or(Instant::max());

    if (auto literal = parse_socket_address_literal(endpoint)) return *literal;
    auto target = split_host_port(endpoint);
    if (!target) return std::unexpected(std::move(target.error()));

    auto looked_up = wait_for_host_lookup(target->host, deadline);
    if (!looked_up) {
        if (looked_up.error() == LookupUnfinished::waiting_for_worker) {
            return std::unexpected(failure("every endpoint resolver worker was busy until the overall deadline (" +
                                           std::to_string(resolver_worker_limit()) + " workers)"));
        }
        return std::unexpected(failure("endpoint resolution exceeded the overall deadline"));
    }
    ResolveOutcome& outcome = *looked_up;
    if (outcome && outcome->has_value()) return with_port(**outcome, target->port);
    return std::move(outcome);
}

}  // namespace quorlin
