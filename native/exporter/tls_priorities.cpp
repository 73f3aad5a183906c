#include "exporter/tls_priorities.hpp"

#include "exporter/tls_names.hpp"

#include <gnutls/gnutls.h>

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace quorlin::exporter {

namespace {

struct SuiteParts {
    std::uint16_t code;
    const char* gnutls_name;
    gnutls_kx_algorithm_t kx;
    gnutls_cipher_algorithm_t cipher;
    gnutls_mac_algorithm_t mac;
    bool tls13;
};

template <typename Visit>
void each_gnutls_suite(Visit&& visit) {
    for (std::size_t index = 0;; ++index) {
        std::array<unsigned char, 2> id{};
        SuiteParts parts{};
        gnutls_protocol_t version{};
        parts.gnutls_name = gnutls_cipher_suite_info(index, id.data(), &parts.kx, &parts.cipher, &parts.mac, &version);
        if (parts.gnutls_name == nullptr) return;
        parts.code = static_cast<std::uint16_t>(id[0] << 8 | id[1]);
        parts.tls13 = version == GNUTLS_TLS1_3;
        visit(parts);
    }
}

std::optional<SuiteParts> gnutls_suite(std::uint16_t code) {
    std::optional<SuiteParts> found;
    each_gnutls_suite([&](const SuiteParts& parts) {
        if (!found && parts.code == code) found = parts;
    });
    return found;
}

// The file's name for a suite where it has one.
std::string suite_name(const SuiteParts& parts) {
    const auto* named = std::ranges::find(cipher_suite_names, parts.code, &CipherSuiteName::code);
    return named != std::ranges::end(cipher_suite_names) ? std::string(named->name) : parts.gnutls_name;
}

template <typename T>
void add_once(std::vector<T>& list, T value) {
    if (std::ranges::find(list, value) == list.end()) list.push_back(value);
}

bool serves(const TlsSettings& settings, TlsVersion version) {
    return settings.min_version <= version && version <= settings.max_version;
}

// The suites GnuTLS's own defaults serve, TLS 1.2 and 1.3.
std::vector<std::uint16_t> default_suites() {
    std::vector<std::uint16_t> codes;
    gnutls_priority_t defaults = nullptr;
    if (gnutls_priority_init(&defaults, "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2", nullptr) < 0) return codes;
    constexpr unsigned most_suites = 4096;
    for (unsigned index = 0; index < most_suites; ++index) {
        unsigned suite = 0;
        const int got = gnutls_priority_get_cipher_suite_index(defaults, index, &suite);
        if (got == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE) break;
        std::array<unsigned char, 2> id{};
        if (got < 0 || gnutls_cipher_suite_info(suite, id.data(), nullptr, nullptr, nullptr, nullptr) == nullptr) continue;
        codes.push_back(static_cast<std::uint16_t>(id[0] << 8 | id[1]));
    }
    gnutls_priority_deinit(defaults);
    return codes;
}

}  // namespace

SuiteSupport gnutls_cipher_suite_support(std::uint16_t code) {
    static const std::vector<std::uint16_t> served = default_suites();
    if (std::ranges::find(served, code) != served.end()) return SuiteSupport::served;
    return gnutls_suite(code) ? SuiteSupport::weak : SuiteSupport::absent;
}

bool gnutls_has_group(std::string_view group) {
    return gnutls_group_get_id(std::string(group).c_str()) != GNUTLS_GROUP_INVALID;
}

std::expected<std::string, std::string> tls_priorities(const TlsSettings& settings) {
    std::string text = "NORMAL:-VERS-ALL";
    if (serves(settings, TlsVersion::tls13)) text += ":+VERS-TLS1.3";
    if (serves(settings, TlsVersion::tls12)) text += ":+VERS-TLS1.2";

    if (!settings.cipher_suites.empty()) {
        std::vector<gnutls_kx_algorithm_t> kxs;
        std::vector<gnutls_cipher_algorithm_t> ciphers;
        std::vector<gnutls_mac_algorithm_t> macs;
        for (const std::uint16_t code : settings.cipher_suites) {
            const std::optional<SuiteParts> parts = gnutls_suite(code);
            if (!parts) return std::unexpected("cipher suite " + std::to_string(code) + " has no GnuTLS equivalent");
            if (!parts->tls13) add_once(kxs, parts->kx);
            add_once(ciphers, parts->cipher);
            add_once(macs, parts->mac);
        }
        std::vector<std::string> unlisted;
        bool tls13_suite = false;
        each_gnutls_suite([&](const SuiteParts& parts) {
            const bool enabled = std::ranges::find(ciphers, parts.cipher) != ciphers.end() &&
                                 std::ranges::find(macs, parts.mac) != macs.end() &&
                                 (parts.tls13 || std::ranges::find(kxs, parts.kx) != kxs.end());
            if (!enabled) return;
            if (parts.tls13) {
                tls13_suite = true;
            } else if (serves(settings, TlsVersion::tls12) &&
                       std::ranges::find(settings.cipher_suites, parts.code) == settings.cipher_suites.end()) {
                unlisted.push_back(suite_name(parts));
            }
        });
        if (!unlisted.empty()) {
            std::string names;
            for (const std::string& name : unlisted) names += (names.empty() ? "" : ", ") + name;
            return std::unexpected("cipher_suites would also serve " + names +
                                   ": GnuTLS enables suites by key exchange, cipher and MAC, so list "
                                   "these too or leave out the suites whose parts bring them");
        }
        if (serves(settings, TlsVersion::tls12) && kxs.empty()) {
            return std::unexpected(std::string("cipher_suites leaves TLS 1.2 without a suite: list one, or set "
                                               "min_version: TLS13"));
        }
        if (serves(settings, TlsVersion::tls13) && !tls13_suite) {
            return std::unexpected(std::string("cipher_suites leaves TLS 1.3 without a suite: list an AES-GCM or "
                                               "CHACHA20-POLY1305 suite, or set max_version: TLS12"));
        }
        text += ":-CIPHER-ALL";
        for (const auto cipher : ciphers) text += std::string(":+") + gnutls_cipher_get_name(cipher);
        text += ":-MAC-ALL";
        for (const auto mac : macs) text += std::string(":+") + gnutls_mac_get_name(mac);
        text += ":-KX-ALL";
        for (const auto kx : kxs) text += std::string(":+") + gnutls_kx_get_name(kx);
    }
    if (!settings.curve_preferences.empty()) {
        text += ":-GROUP-ALL";
        for (const std::string_view group : settings.curve_preferences) text += ":+GROUP-" + std::string(group);
    }
    if (settings.prefer_server_cipher_suites) text += ":%SERVER_PRECEDENCE";

    // GnuTLS has the last word on what it can parse.
    gnutls_priority_t parsed = nullptr;
    const char* error_at = nullptr;
    if (const int failed = gnutls_priority_init(&parsed, text.c_str(), &error_at); failed < 0) {
        return std::unexpected("GnuTLS cannot serve these TLS settings: " + std::string(gnutls_strerror(failed)));
    }
    gnutls_priority_deinit(parsed);
    return text;
}

}  // namespace quorlin::exporter
