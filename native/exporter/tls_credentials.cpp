#include "exporter/tls_credentials.hpp"

#include "exporter/tls_client_names.hpp"
#include "exporter/tls_weak_inputs.hpp"
#include "input/careful_file.hpp"

#include <gnutls/x509.h>

#include <array>
#include <chrono>
#include <ctime>
#include <span>
#include <utility>

namespace quorlin::exporter {

namespace {

constexpr std::size_t largest_pem_bytes = 1024 * 1024;
constexpr unsigned longest_chain = 16;
// A handshake that took a pair just before a reload ends well within this
// (the listener drops a connection idle for 5 s).
constexpr std::chrono::seconds retired_pair_life{60};

std::string tls_error(const std::string& path, std::string_view what, int code) {
    return path + ": " + std::string(what) + ": " + gnutls_strerror(code);
}

gnutls_datum_t datum_of(const input::SecretBuffer& bytes) {
    const std::string_view text = bytes.text();
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())), static_cast<unsigned>(text.size())};
}

// The public key as DER, to compare a private key's with a certificate's.
std::expected<std::string, int> public_key_der(gnutls_pubkey_t key) {
    gnutls_datum_t der{};
    if (const int failed = gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &der); failed < 0) {
        return std::unexpected(failed);
    }
    std::string text(reinterpret_cast<const char*>(der.data), der.size);
    gnutls_free(der.data);
    return text;
}

}  // namespace

struct TlsCredentials::Pair {
    std::array<gnutls_pcert_st, longest_chain> chain{};
    unsigned length = 0;
    gnutls_privkey_t key = nullptr;
    std::vector<std::string> warnings;

    Pair() = default;
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
    ~Pair() {
        for (unsigned i = 0; i < length; ++i) gnutls_pcert_deinit(&chain[i]);
        if (key != nullptr) gnutls_privkey_deinit(key);  // GnuTLS wipes the key
    }

    static std::expected<std::shared_ptr<Pair>, std::string> read(const TlsSettings& settings) {
        auto cert_pem = input::read_file_carefully(settings.cert_file, "TLS certificate", largest_pem_bytes);
        if (!cert_pem) return std::unexpected(std::move(cert_pem.error()));
        auto key_pem = input::read_file_carefully(settings.key_file, "TLS private key", largest_pem_bytes);
        if (!key_pem) return std::unexpected(std::move(key_pem.error()));

        auto pair = std::make_shared<Pair>();
        unsigned length = longest_chain;
        const gnutls_datum_t certs = datum_of(*cert_pem);
        if (const int failed = gnutls_pcert_list_import_x509_raw(pair->chain.data(), &length, &certs,
                                                                 GNUTLS_X509_FMT_PEM, 0);
            failed < 0) {
            return std::unexpected(tls_error(settings.cert_file, "not a PEM certificate chain", failed));
        }
        pair->length = length;
        if (const int failed = gnutls_privkey_init(&pair->key); failed < 0) {
            return std::unexpected(tls_error(settings.key_file, "no memory for the key", failed));
        }
        const gnutls_datum_t key = datum_of(*key_pem);
        if (const int failed = gnutls_privkey_import_x509_raw(pair->key, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
            failed < 0) {
            return std::unexpected(tls_error(settings.key_file, "not an unencrypted PEM private key", failed));
        }
        if (auto matched = pair->key_matches(); !matched) {
            return std::unexpected(settings.key_file + ": " + matched.error() + " " + settings.cert_file);
        }
        pair->warnings = weak_tls_inputs(settings, std::span(pair->chain.data(), pair->length), pair->key,
                                         std::time(nullptr));
        return pair;
    }

    std::expected<void, std::string> key_matches() const {
        gnutls_pubkey_t from_key = nullptr;
        if (gnutls_pubkey_init(&from_key) < 0) return std::unexpected("could not be compared with");
        const int imported = gnutls_pubkey_import_privkey(from_key, key, 0, 0);
        auto ours = imported < 0 ? std::unexpected(imported) : public_key_der(from_key);
        gnutls_pubkey_deinit(from_key);
        const auto theirs = public_key_der(chain[0].pubkey);
        if (!ours || !theirs) return std::unexpected("could not be compared with the first certificate of");
        if (*ours != *theirs) return std::unexpected("is not the key of the first certificate of");
        return {};
    }
};

std::expected<std::unique_ptr<TlsCredentials>, std::string> TlsCredentials::load(const TlsSettings& settings) {
    auto pair = Pair::read(settings);
    if (!pair) return std::unexpected(std::move(pair.error()));
    std::string client_ca;
    if (settings.client_auth != ClientAuth::none) {
        auto pem = input::read_file_carefully(settings.client_ca_file, "client CA", largest_pem_bytes);
        if (!pem) return std::unexpected(std::move(pem.error()));
        gnutls_x509_crt_t* certs = nullptr;
        unsigned count = 0;
        const gnutls_datum_t data = datum_of(*pem);
        if (const int failed = gnutls_x509_crt_list_import2(&certs, &count, &data, GNUTLS_X509_FMT_PEM, 0);
            failed < 0) {
            return std::unexpected(tls_error(settings.client_ca_file, "not a PEM certificate list", failed));
        }
        for (unsigned i = 0; i < count; ++i) gnutls_x509_crt_deinit(certs[i]);
        gnutls_free(certs);
        client_ca = pem->text();
    }
    return std::unique_ptr<TlsCredentials>(new TlsCredentials(settings, std::move(*pair), std::move(client_ca)));
}

TlsCredentials::TlsCredentials(TlsSettings settings, std::shared_ptr<Pair> pair, std::string client_ca_pem)
    : settings_(std::move(settings)), client_ca_pem_(std::move(client_ca_pem)), current_(std::move(pair)) {}

TlsCredentials::~TlsCredentials() = default;

std::expected<void, std::string> TlsCredentials::reload(const TlsSettings& settings) {
    if (!settings.same_handshake(settings_)) {
        return std::unexpected(std::string("of tls_server_config, only cert_file and key_file change by a reload; "
                                           "the other settings take a restart"));
    }
    auto pair = Pair::read(settings);
    if (!pair) return std::unexpected(std::move(pair.error()));
    const Instant now = Clock::now();
    const std::lock_guard lock(mutex_);
    while (!retired_.empty() && now - retired_.front().since > retired_pair_life) retired_.pop_front();
    retired_.push_back({std::move(current_), now});
    current_ = std::move(*pair);
    return {};
}

std::vector<std::string> TlsCredentials::warnings() const {
    const std::lock_guard lock(mutex_);
    return current_->warnings;
}

bool TlsCredentials::client_names_allowed(gnutls_session_t session) const {
    return exporter::client_names_allowed(session, settings_.client_allowed_sans);
}

void TlsCredentials::choose(gnutls_pcert_st** chain, unsigned* length, gnutls_privkey_t* key) const {
    const std::lock_guard lock(mutex_);
    *chain = current_->chain.data();
    *length = current_->length;
    *key = current_->key;
}

}  // namespace quorlin::exporter
