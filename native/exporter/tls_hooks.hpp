#pragma once
// What the TLS layer of the HTTP server asks of us: at a new connection,
// what the handshake asks of the client; during the handshake, the
// certificate to serve; before a request is handled, whether the client's
// certificate passes.

#include "exporter/tls_credentials.hpp"

#include <gnutls/gnutls.h>

struct MHD_Connection;

namespace quorlin::exporter {

// At a new connection: plain HTTP sent before any ClientHello is answered
// 400 (plain_http_refusal.hpp), and the handshake is told whether to ask for
// a client certificate.
void start_tls_connection(ClientAuth asked, MHD_Connection* connection);

// Whether the client's certificate is what the settings ask for: present
// and signed by the client CA, or, where it is optional, absent or so
// signed; and, when client_allowed_sans names any, carrying one of them.
bool client_certificate_passes(const TlsCredentials& tls, MHD_Connection* connection);

// The handshake's certificate callback: the current pair of the credentials
// that `credentials_of` finds for the connection (null: the handshake fails).
using CredentialsOf = const TlsCredentials* (*)(MHD_Connection* connection);
template <CredentialsOf credentials_of>
int choose_certificate(gnutls_session_t session, const gnutls_datum_t* /*ca_names*/, int /*names*/,
                       const gnutls_pk_algorithm_t* /*algorithms*/, int /*algorithm_count*/, gnutls_pcert_st** chain,
                       unsigned* length, gnutls_privkey_t* key) {
    auto* connection = static_cast<MHD_Connection*>(gnutls_session_get_ptr(session));
    const TlsCredentials* tls = connection != nullptr ? credentials_of(connection) : nullptr;
    if (tls == nullptr) return -1;
    tls->choose(chain, length, key);
    return 0;
}

}  // namespace quorlin::exporter
