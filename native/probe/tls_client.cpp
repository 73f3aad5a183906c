#include "probe/tls_client.hpp"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cerrno>
#include <ctime>

namespace quorlin {

namespace {

// TLS 1.2 and 1.3 only, with GnuTLS's usual choices within them.
constexpr const char* priorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

std::string version_text(gnutls_protocol_t version) {
    const char* name = gnutls_protocol_get_name(version);
    std::string text = name ? name : "unknown";
    // "TLS1.3" reads as "TLS 1.3"
    if (text.starts_with("TLS") && text.size() > 3 && text[3] != ' ') text.insert(3, " ");
    return text;
}

std::optional<CertificateFacts> leaf_facts(gnutls_session_t session) {
    unsigned int count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(session, &count);
    if (chain == nullptr || count == 0) return std::nullopt;
    gnutls_x509_crt_t leaf = nullptr;
    if (gnutls_x509_crt_init(&leaf) < 0) return std::nullopt;
    std::optional<CertificateFacts> facts;
    if (gnutls_x509_crt_import(leaf, &chain[0], GNUTLS_X509_FMT_DER) >= 0) {
        CertificateFacts read;
        char name[256];
        std::size_t size = sizeof name;
        if (gnutls_x509_crt_get_dn_by_oid(leaf, GNUTLS_OID_X520_COMMON_NAME, 0, 0, name, &size) >= 0) {
            read.subject = "CN=" + std::string(name, size);
        } else {
            gnutls_datum_t dn{};
            if (gnutls_x509_crt_get_dn3(leaf, &dn, 0) >= 0) {
                read.subject.assign(reinterpret_cast<const char*>(dn.data), dn.size);
                gnutls_free(dn.data);
            }
        }
        read.not_after = static_cast<std::int64_t>(gnutls_x509_crt_get_expiration_time(leaf));
        facts = std::move(read);
    }
    gnutls_x509_crt_deinit(leaf);
    return facts;
}

// The first reason of the verification status a reader acts on.
std::optional<std::string> verify_failure(unsigned int status) {
    if (status == 0) return std::nullopt;
    if (status & (GNUTLS_CERT_SIGNER_NOT_FOUND | GNUTLS_CERT_SIGNER_NOT_CA | GNUTLS_CERT_INSECURE_ALGORITHM |
                  GNUTLS_CERT_SIGNATURE_FAILURE | GNUTLS_CERT_REVOKED)) {
        return "certificate not trusted";
    }
    if (status & GNUTLS_CERT_EXPIRED) return "certificate expired";
    if (status & GNUTLS_CERT_NOT_ACTIVATED) return "certificate not yet valid";
    if (status & GNUTLS_CERT_UNEXPECTED_OWNER) return "certificate name mismatch";
    return "certificate not trusted";
}

}  // namespace

struct TlsClient::Session {
    TcpConnection& connection;
    std::string verify_name;
    gnutls_session_t session = nullptr;
    gnutls_certificate_credentials_t credentials = nullptr;
    Instant deadline{};
    std::optional<TcpFailure> transport_failure;

    ~Session() {
        if (session) gnutls_deinit(session);
        if (credentials) gnutls_certificate_free_credentials(credentials);
    }

    static ssize_t push(gnutls_transport_ptr_t self, const void* data, std::size_t size) {
        auto& s = *static_cast<Session*>(self);
        const auto sent = s.connection.send({static_cast<const std::uint8_t*>(data), size}, s.deadline);
        if (sent) return static_cast<ssize_t>(size);
        s.transport_failure = sent.error();
        gnutls_transport_set_errno(s.session, EIO);
        return -1;
    }

    static ssize_t pull(gnutls_transport_ptr_t self, void* data, std::size_t size) {
        auto& s = *static_cast<Session*>(self);
        const auto got = s.connection.receive({static_cast<std::uint8_t*>(data), size}, s.deadline);
        if (got) return static_cast<ssize_t>(*got);
        s.transport_failure = got.error();
        gnutls_transport_set_errno(s.session, EIO);
        return -1;
    }

    // Asked with 0 whether a record is already there (TLS 1.3 looks for
    // tickets so); otherwise the pull itself waits, until the check's deadline.
    static int pull_timeout(gnutls_transport_ptr_t self, unsigned int ms) {
        auto& s = *static_cast<Session*>(self);
        if (s.connection.readable()) return 1;
        return ms == 0 ? 0 : 1;
    }

    TlsFailure failure(int code, std::string_view during) const {
        if (transport_failure) {
            // Silence after a few bytes is the path-MTU black hole's mark: say how many came.
            if (transport_failure->kind == TcpFailure::Kind::no_answer) {
                const std::string stalled =
                    "stalled after " + std::to_string(connection.payload_bytes_received()) + " bytes";
                return {true, "TLS " + std::string(during) + " " + stalled + ": " + transport_failure->detail, stalled};
            }
            return {false, "TLS " + std::string(during) + ": " + transport_failure->detail, transport_failure->detail};
        }
        const std::string reason = gnutls_strerror(code);
        return {false, "TLS " + std::string(during) + " failed: " + reason, std::string(during) + " failed: " + reason};
    }
};

TlsClient::TlsClient(std::unique_ptr<Session> session) noexcept : session_(std::move(session)) {}
TlsClient::TlsClient(TlsClient&& other) noexcept = default;
TlsClient::~TlsClient() = default;

std::expected<TlsClient, std::string> TlsClient::create(TcpConnection& connection,
                                                       const std::optional<std::string>& server_name,
                                                       std::string verify_name,
                                                       const std::optional<std::string>& ca_certificates) {
    std::unique_ptr<Session> session(new Session{connection, std::move(verify_name)});
    const auto refused = [](std::string_view what, int code) {
        return std::unexpected("could not set up TLS: " + std::string(what) + ": " + gnutls_strerror(code));
    };
    int code = gnutls_certificate_allocate_credentials(&session->credentials);
    if (code < 0) return refused("credentials", code);
    if (ca_certificates) {
        const gnutls_datum_t pem{reinterpret_cast<unsigned char*>(const_cast<char*>(ca_certificates->data())),
                                 static_cast<unsigned int>(ca_certificates->size())};
        code = gnutls_certificate_set_x509_trust_mem(session->credentials, &pem, GNUTLS_X509_FMT_PEM);
    } else {
        code = gnutls_certificate_set_x509_system_trust(session->credentials);
    }
    if (code < 0) return refused("trusted certificates", code);
    code = gnutls_init(&session->session, GNUTLS_CLIENT);
    if (code < 0) return refused("session", code);
    if ((code = gnutls_priority_set_direct(session->session, priorities, nullptr)) < 0) return refused("priorities", code);
    if ((code = gnutls_credentials_set(session->session, GNUTLS_CRD_CERTIFICATE, session->credentials)) < 0) {
        return refused("credentials", code);
    }
    if (server_name) {
        code = gnutls_server_name_set(session->session, GNUTLS_NAME_DNS, server_name->data(), server_name->size());
        if (code < 0) return refused("server name", code);
    }
    gnutls_transport_set_ptr(session->session, session.get());
    gnutls_transport_set_push_function(session->session, &Session::push);
    gnutls_transport_set_pull_function(session->session, &Session::pull);
    gnutls_transport_set_pull_timeout_function(session->session, &Session::pull_timeout);
    return TlsClient(std::move(session));
}

std::expected<TlsHandshakeFacts, TlsFailure> TlsClient::handshake(Instant deadline) {
    Session& s = *session_;
    s.deadline = deadline;
    int code = 0;
    do {
        code = gnutls_handshake(s.session);
    } while (code < 0 && !gnutls_error_is_fatal(code) && !s.transport_failure && Clock::now() < deadline);
    if (code < 0) return std::unexpected(s.failure(code, "handshake"));
    TlsHandshakeFacts facts;
    facts.version = version_text(gnutls_protocol_get_version(s.session));
    facts.leaf = leaf_facts(s.session);
    unsigned int status = 0;
    code = gnutls_certificate_verify_peers3(s.session, s.verify_name.c_str(), &status);
    facts.verify_failure = code < 0 ? std::optional<std::string>("certificate not verified") : verify_failure(status);
    return facts;
}

std::expected<void, TlsFailure> TlsClient::write(std::span<const std::uint8_t> data, Instant deadline) {
    Session& s = *session_;
    s.deadline = deadline;
    while (!data.empty()) {
        const ssize_t sent = gnutls_record_send(s.session, data.data(), data.size());
        if (sent < 0) {
            if (!gnutls_error_is_fatal(static_cast<int>(sent)) && !s.transport_failure && Clock::now() < deadline) continue;
            return std::unexpected(s.failure(static_cast<int>(sent), "write"));
        }
        data = data.subspan(static_cast<std::size_t>(sent));
    }
    return {};
}

std::expected<std::size_t, TlsFailure> TlsClient::read(std::span<std::uint8_t> out, Instant deadline) {
    Session& s = *session_;
    s.deadline = deadline;
    for (;;) {
        const ssize_t got = gnutls_record_recv(s.session, out.data(), out.size());
        if (got >= 0) return static_cast<std::size_t>(got);
        // A server that closes without close_notify has still said all it will.
        if (got == GNUTLS_E_PREMATURE_TERMINATION && !s.transport_failure) return 0;
        if (!gnutls_error_is_fatal(static_cast<int>(got)) && !s.transport_failure && Clock::now() < deadline) continue;
        return std::unexpected(s.failure(static_cast<int>(got), "read"));
    }
}

}  // namespace quorlin
