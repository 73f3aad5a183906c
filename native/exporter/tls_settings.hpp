#pragma once
// The tls_server_config section of the web configuration file:
//   tls_server_config:
//     cert_file: server.crt            # PEM, the chain, leaf first
//     key_file: server.key             # PEM
//     client_ca_file: ca.crt           # with a client_auth_type that verifies
//     client_auth_type: RequireAndVerifyClientCert
//     min_version: TLS12               # or TLS13; nothing older is served
// Relative paths are read from the web configuration file's folder.

#include <string>
#include <string_view>

namespace quorlin::exporter {

enum class ClientAuth { none, verify_if_given, require_and_verify };
enum class TlsVersion { tls12, tls13 };

struct TlsSettings {
    std::string cert_file;
    std::string key_file;
    std::string client_ca_file;  // empty: none
    ClientAuth client_auth = ClientAuth::none;
    TlsVersion min_version = TlsVersion::tls12;

    // What a reload cannot change: the listener asks for client
    // certificates, and from which authorities, from its start.
    bool same_client_auth(const TlsSettings& other) const {
        return client_auth == other.client_auth && client_ca_file == other.client_ca_file &&
               min_version == other.min_version;
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
