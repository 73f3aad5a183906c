#pragma once
// Plain HTTP sent to the TLS port: answered with the 400 that HTTPS servers
// send, rather than a TLS alert the HTTP client would show as an empty reply.
// Only the first bytes of a connection are looked at, before its ClientHello:
// a TLS record begins with a content type byte, never with a request line.

#include <gnutls/gnutls.h>

#include <string_view>

namespace quorlin::exporter {

inline constexpr std::string_view plain_http_answer =
    "HTTP/1.0 400 Bad Request\r\n\r\nClient sent an HTTP request to an HTTPS server.\n";

// Arms the check on a server session reading from a socket (gnutls_transport_set_int).
void refuse_plain_http(gnutls_session_t session);

}  // namespace quorlin::exporter
