#pragma once
// The texts of the TCP, TLS and HTTP checks' targets as callers write them,
// read strictly; each refusal names the option (or fleet key) as `label`.

#include "probe/service_target.hpp"

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorlin::input {

// "ADDR:PORT" with a strict dotted quad and a port from 1 through 65535, or
// "<label> must be ADDR:PORT (an IPv4 address and a port from 1 through
// 65535), got <text>".
std::expected<TcpTarget, std::string> parse_tcp_target(std::string_view text, std::string_view label);

// "HOST:PORT", HOST an IPv4 address or a DNS name (checked as a name by the
// plan), or "<label> must be HOST:PORT (...), got <text>".
std::expected<TlsTarget, std::string> parse_tls_target(std::string_view text, std::string_view label);

// "http://HOST[:PORT][/PATH]" or "https://..." (the scheme in any case; no
// user part; a fragment is dropped, since it never leaves the client; the
// path printable ASCII without spaces).
std::expected<HttpTarget, std::string> parse_http_url(std::string_view text, std::string_view label);

// The HTTP statuses a check accepts: codes or ranges from 100 through 599,
// separated by commas ("200,301", "200-399").
std::expected<HttpStatusRanges, std::string> parse_http_statuses(std::string_view text, std::string_view label);

}  // namespace quorlin::input
