#pragma once
// A TLS client session over one in-tunnel TCP connection: GnuTLS carries its
// records through the connection's send and receive (its transport push and
// pull), TLS 1.2 or 1.3, and the peer's chain is verified after the handshake
// against the system's trust store or the CAs given, so that a certificate
// that does not verify is still read and named.

#include "common/clock.hpp"
#include "probe/tcp_connection.hpp"

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace quorlin {

// The leaf certificate, as a check reports it.
struct CertificateFacts {
    std::string subject;         // "CN=git.internal", else the whole distinguished name
    std::int64_t not_after = 0;  // seconds since the Unix epoch
};

struct TlsHandshakeFacts {
    std::string version;  // "TLS 1.3"
    std::optional<CertificateFacts> leaf;
    // Why the chain does not verify for the name ("certificate not trusted",
    // "certificate expired", "certificate not yet valid", "certificate name
    // mismatch"); nothing when it does.
    std::optional<std::string> verify_failure;
};

// How a session failed: the connection's failure, or the TLS layer's.
struct TlsFailure {
    bool unanswered = false;  // the server went silent: nothing more came in time
    std::string detail;       // plain words for the phase's detail
    std::string clause;       // the short reason a failed check gives
};

class TlsClient {
public:
    // `server_name`: sent as SNI when set; `verify_name`: the name (or
    // address) the certificate must be issued to; `ca_certificates`: PEM to
    // trust instead of the system's store.
    static std::expected<TlsClient, std::string> create(TcpConnection& connection,
                                                        const std::optional<std::string>& server_name,
                                                        std::string verify_name,
                                                        const std::optional<std::string>& ca_certificates);
    TlsClient(TlsClient&& other) noexcept;
    TlsClient& operator=(TlsClient&&) = delete;
    TlsClient(const TlsClient&) = delete;
    ~TlsClient();

    std::expected<TlsHandshakeFacts, TlsFailure> handshake(Instant deadline);
    std::expected<void, TlsFailure> write(std::span<const std::uint8_t> data, Instant deadline);
    // Bytes read, 0 when the server closed the session.
    std::expected<std::size_t, TlsFailure> read(std::span<std::uint8_t> out, Instant deadline);

private:
    struct Session;
    explicit TlsClient(std::unique_ptr<Session> session) noexcept;
    std::unique_ptr<Session> session_;
};

}  // namespace quorlin
