#include "exporter/tls_hooks.hpp"

#include "exporter/plain_http_refusal.hpp"

#include <microhttpd.h>

namespace quorlin::exporter {

namespace {

gnutls_session_t tls_session_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    return info != nullptr ? static_cast<gnutls_session_t>(info->tls_session) : nullptr;
}

}  // namespace

void start_tls_connection(ClientAuth asked, MHD_Connection* connection) {
    const gnutls_session_t session = tls_session_of(connection);
    if (session != nullptr) refuse_plain_http(session);
    if (session == nullptr || asked == ClientAuth::none) return;
    if (asked == ClientAuth::verify_if_given) {
        // GnuTLS's own check would refuse a client without one: the
        // request's check verifies a certificate that was sent.
        gnutls_certificate_server_set_request(session, GNUTLS_CERT_REQUEST);
        return;
    }
    gnutls_certificate_server_set_request(session, GNUTLS_CERT_REQUIRE);
    gnutls_session_set_verify_cert(session, nullptr, 0);
}

bool client_certificate_passes(const TlsCredentials& tls, MHD_Connection* connection) {
    const ClientAuth asked = tls.settings().client_auth;
    if (asked == ClientAuth::none) return true;
    const gnutls_session_t session = tls_session_of(connection);
    if (session == nullptr) return false;
    unsigned count = 0;
    if (gnutls_certificate_get_peers(session, &count) == nullptr || count == 0) {
        return asked == ClientAuth::verify_if_given;
    }
    unsigned status = 0;
    return gnutls_certificate_verify_peers2(session, &status) == GNUTLS_E_SUCCESS && status == 0 &&
           tls.client_names_allowed(session);
}

}  // namespace quorlin::exporter
