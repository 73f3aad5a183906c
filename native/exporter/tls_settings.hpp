#pragma once
// The tls_server_config section of the web configuration file:
//   tls_server_config:
//     cert_file: server.crt            # PEM, the chain, leaf first
//     key_file: server.key             # PEM
//     client_ca_file: ca.crt           # with a client_auth_type that verifies
//     client_auth_type: RequireAndVerifyClientCert
//     client_allowed_sans: [scraper.example]  # with RequireAndVerifyClientCert
//     min_version: TLS12               # or TLS13; nothing older is served
//     max_version: TLS13               # or TLS12
//     cipher_suites: [TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256]
//     curve_preferences: [X25519, CurveP256]
//     prefer_server_cipher_suites: true
// Relative paths are read from the web configuration file's folder.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorlin::exporter {

enum class ClientAuth { none, verify_if_given, require_and_verify };
enum class TlsVersion { tls12, tls13 };

struct TlsSettings {
    std::string cert_file;
    std::string key_file;
    std::string client_ca_file;  // empty: none
    ClientAuth client_auth = ClientAuth::none;
    // A client certificate must name one of these (DNS, IP, e-mail or URI);
    // empty: any the client CA signed.
    std::vector<std::string> client_allowed_sans;
    TlsVersion min_version = TlsVersion::tls12;
    TlsVersion max_version = TlsVersion::tls13;
    // IANA code points, in the file's order; empty: GnuTLS's defaults.
    std::vector<std::uint16_t> cipher_suites;
    // GnuTLS group names ("X25519"), in preference order; empty: the defaults.
    std::vector<std::string_view> curve_preferences;
    bool prefer_server_cipher_suites = true;
    // GnuTLS's priority string for all of the above (tls_priorities.hpp).
    std::string priorities;

    // What a reload cannot change: the listener takes its priorities and
    // what it asks of clients from its start.
    bool same_handshake(const TlsSettings& other) const {
        return client_auth == other.client_auth && client_ca_file == other.client_ca_file &&
               client_allowed_sans == other.client_allowed_sans && priorities == other.priorities;
    }
};

// The names the file uses; nothing for a name this exporter does not serve.
struct ClientAuthName {
    std::string_view name;
    ClientAuth value;
};
inline constexpr ClientAuthName client_auth_names[] = {
    {"NoClientCert", ClientAuth::none},
    {"VerifyClientCertIfGiven", ClientAuth::verify_if_given},
    {"RequireAndVerifyClientCert", ClientAuth::require_and_verify},
};

}  // namespace quorlin::exporter
