#pragma once
// client_allowed_sans: the verified client certificate must carry one of the
// listed names among its subject alternative names (DNS, IP, e-mail, URI),
// matched exactly; IP addresses compared as addresses, not as text.

#include <gnutls/gnutls.h>

#include <span>
#include <string>

namespace quorlin::exporter {

// True when `allowed` is empty or the session's client certificate names one of them.
bool client_names_allowed(gnutls_session_t session, std::span<const std::string> allowed);

}  // namespace quorlin::exporter
