#include "exporter/tls_client_names.hpp"

#include <arpa/inet.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace quorlin::exporter {

namespace {

// The address's bytes, empty when the text is not an IPv4 or IPv6 address.
std::string address_bytes(const std::string& text) {
    std::array<unsigned char, 16> bytes{};
    if (::inet_pton(AF_INET, text.c_str(), bytes.data()) == 1) return {reinterpret_cast<char*>(bytes.data()), 4};
    if (::inet_pton(AF_INET6, text.c_str(), bytes.data()) == 1) return {reinterpret_cast<char*>(bytes.data()), 16};
    return {};
}

bool names_one_of(gnutls_x509_crt_t certificate, std::span<const std::string> allowed) {
    constexpr unsigned most_names = 1024;
    for (unsigned index = 0; index < most_names; ++index) {
        std::array<char, 1024> name{};
        std::size_t size = name.size();
        const int type = gnutls_x509_crt_get_subject_alt_name(certificate, index, name.data(), &size, nullptr);
        if (type == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE) return false;
        if (type < 0) continue;  // one too long to be allowed
        const std::string_view value(name.data(), size);
        const bool matched = std::ranges::any_of(allowed, [&](const std::string& wanted) {
            switch (type) {
                case GNUTLS_SAN_IPADDRESS: return address_bytes(wanted) == value;
                case GNUTLS_SAN_DNSNAME:
                case GNUTLS_SAN_RFC822NAME:
                case GNUTLS_SAN_URI: return wanted == value;
                default: return false;
            }
        });
        if (matched) return true;
    }
    return false;
}

}  // namespace

bool client_names_allowed(gnutls_session_t session, std::span<const std::string> allowed) {
    if (allowed.empty()) return true;
    unsigned count = 0;
    const gnutls_datum_t* chain = session != nullptr ? gnutls_certificate_get_peers(session, &count) : nullptr;
    if (chain == nullptr || count == 0) return false;
    gnutls_x509_crt_t certificate = nullptr;
    if (gnutls_x509_crt_init(&certificate) < 0) return false;
    const bool allowed_names = gnutls_x509_crt_import(certificate, &chain[0], GNUTLS_X509_FMT_DER) >= 0 &&
                               names_one_of(certificate, allowed);
    gnutls_x509_crt_deinit(certificate);
    return allowed_names;
}

}  // namespace quorlin::exporter
