#pragma once
// The TLS and HTTP checks: each reaches a service behind the peer through one
// TCP connection of its own inside the tunnel (tcp_connection.hpp), after
// resolving a named host through the tunnel's DNS server as a client of the
// VPN would; everything within the check's limit (--tcp-timeout-ms).
//
// A phase passes when the service answered through the tunnel; one that
// answered, but not as the check asks (a reset, a certificate that does not
// verify, a status not accepted, the text not found), carries the reason in
// `service_failure` and the assessment fails it. Silence is unconfirmed: a
// TLS handshake that stalls after some bytes (the path-MTU black hole, where
// small packets pass and the certificate flight does not) says how many came.

#include "probe/data_checks.hpp"

namespace quorlin {

// Each records one phase; true when the service answered.
bool tls_check(ProbeReport& report, const DataCheckContext& context, const Ipv4Address& source,
               const TlsTarget& target);
bool http_check(ProbeReport& report, const DataCheckContext& context, const Ipv4Address& source,
                const HttpTarget& target);

}  // namespace quorlin
