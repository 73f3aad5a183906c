#pragma once
// The TLS names the exporters' web configuration file uses (those of Go's
// crypto/tls), and what they are in TLS itself or in GnuTLS. Whether GnuTLS
// serves a name is asked of GnuTLS (tls_priorities.hpp), not written here.

#include "exporter/tls_settings.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorlin::exporter {

struct CipherSuiteName {
    std::string_view name;
    std::uint16_t code;  // the IANA code point
};
inline constexpr CipherSuiteName cipher_suite_names[] = {
    {"TLS_RSA_WITH_RC4_128_SHA", 0x0005},
    {"TLS_RSA_WITH_3DES_EDE_CBC_SHA", 0x000a},
    {"TLS_RSA_WITH_AES_128_CBC_SHA", 0x002f},
    {"TLS_RSA_WITH_AES_256_CBC_SHA", 0x0035},
    {"TLS_RSA_WITH_AES_128_CBC_SHA256", 0x003c},
    {"TLS_RSA_WITH_AES_128_GCM_SHA256", 0x009c},
    {"TLS_RSA_WITH_AES_256_GCM_SHA384", 0x009d},
    {"TLS_ECDHE_ECDSA_WITH_RC4_128_SHA", 0xc007},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA", 0xc009},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA", 0xc00a},
    {"TLS_ECDHE_RSA_WITH_RC4_128_SHA", 0xc011},
    {"TLS_ECDHE_RSA_WITH_3DES_EDE_CBC_SHA", 0xc012},
    {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA", 0xc013},
    {"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA", 0xc014},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256", 0xc023},
    {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256", 0xc027},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", 0xc02b},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", 0xc02c},
    {"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", 0xc02f},
    {"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", 0xc030},
    {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", 0xcca8},
    {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", 0xcca9},
    // The older spellings of the two above.
    {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305", 0xcca8},
    {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305", 0xcca9},
    {"TLS_AES_128_GCM_SHA256", 0x1301},
    {"TLS_AES_256_GCM_SHA384", 0x1302},
    {"TLS_CHACHA20_POLY1305_SHA256", 0x1303},
};

struct CurveName {
    std::string_view name;
    std::string_view group;  // GnuTLS's name for the group
};
inline constexpr CurveName curve_names[] = {
    {"CurveP256", "SECP256R1"},
    {"CurveP384", "SECP384R1"},
    {"CurveP521", "SECP521R1"},
    {"X25519", "X25519"},
    {"X25519MLKEM768", "X25519MLKEM768"},
};

struct VersionName {
    std::string_view name;
    std::optional<TlsVersion> served;  // nothing: a version this exporter never serves
};
inline constexpr VersionName version_names[] = {
    {"TLS10", std::nullopt},
    {"TLS11", std::nullopt},
    {"TLS12", TlsVersion::tls12},
    {"TLS13", TlsVersion::tls13},
};

}  // namespace quorlin::exporter
