#pragma once
// The server's certificate chain and private key for TLS, read from the
// files the web configuration names and replaced on a reload, so that a
// renewed certificate is served without a restart. A TLS handshake takes
// the current pair; a replaced pair stays alive a while for handshakes
// that took it just before the reload.

#include "common/clock.hpp"
#include "exporter/tls_settings.hpp"

#include <gnutls/abstract.h>

#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorlin::exporter {

class TlsCredentials {
public:
    // The files read and checked: a chain that parses, a private key that
    // parses and belongs to the chain's first certificate, a client CA that parses.
    static std::expected<std::unique_ptr<TlsCredentials>, std::string> load(const TlsSettings& settings);
    TlsCredentials(const TlsCredentials&) = delete;
    TlsCredentials& operator=(const TlsCredentials&) = delete;
    ~TlsCredentials();

    // Reads the pair again; the current one stays when they fail, or when the
    // settings ask for what only a restart can change (client certificates,
    // versions, suites, curves).
    std::expected<void, std::string> reload(const TlsSettings& settings);

    // What is weak about the current pair (tls_weak_inputs.hpp), one line each, as read.
    std::vector<std::string> warnings() const;

    // As loaded at start: what a reload may change (the files) is not read again from here.
    const TlsSettings& settings() const noexcept { return settings_; }
    // The client CA's PEM text; empty when client certificates are not asked for.
    const std::string& client_ca_pem() const noexcept { return client_ca_pem_; }
    // GnuTLS's priority string, as the settings made it.
    const char* priorities() const noexcept { return settings_.priorities.c_str(); }
    // Whether a verified client certificate names one of client_allowed_sans.
    bool client_names_allowed(gnutls_session_t session) const;

    // What a handshake serves: the current chain and key.
    void choose(gnutls_pcert_st** chain, unsigned* length, gnutls_privkey_t* key) const;

private:
    struct Pair;
    TlsCredentials(TlsSettings settings, std::shared_ptr<Pair> pair, std::string client_ca_pem);

    const TlsSettings settings_;
    std::string client_ca_pem_;
    mutable std::mutex mutex_;
    std::shared_ptr<Pair> current_;
    struct Retired {
        std::shared_ptr<Pair> pair;
        Instant since;
    };
    std::deque<Retired> retired_;
};

}  // namespace quorlin::exporter
