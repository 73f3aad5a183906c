#include "exporter/response_headers.hpp"
#include "exporter/tls_priorities.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorlin::exporter {
namespace {

TlsSettings tls_of(TlsVersion min, TlsVersion max, std::vector<std::uint16_t> suites,
                   std::vector<std::string_view> curves = {}, bool prefer_server = true) {
    TlsSettings tls;
    tls.min_version = min;
    tls.max_version = max;
    tls.cipher_suites = std::move(suites);
    tls.curve_preferences = std::move(curves);
    tls.prefer_server_cipher_suites = prefer_server;
    return tls;
}

constexpr auto v12 = TlsVersion::tls12;
constexpr auto v13 = TlsVersion::tls13;
constexpr std::string_view by_parts =
    ": GnuTLS enables suites by key exchange, cipher and MAC, so list these too or leave out the suites whose parts "
    "bring them";

TEST(TlsPriorities, ServedAsListedOrRefused) {
    struct Case {
        const char* name;
        TlsSettings settings;
        std::string priorities;  // empty: refused with `refusal`
        std::string refusal;
    };
    const std::vector<Case> cases = {
        {"defaults", tls_of(v12, v13, {}), "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:%SERVER_PRECEDENCE", ""},
        {"TLS 1.3 only, client's order", tls_of(v13, v13, {}, {}, false), "NORMAL:-VERS-ALL:+VERS-TLS1.3", ""},
        {"suites and curves in the file's order",
         tls_of(v12, v12, {0xc030, 0xc02f}, {"X25519", "SECP256R1"}, false),
         "NORMAL:-VERS-ALL:+VERS-TLS1.2:-CIPHER-ALL:+AES-256-GCM:+AES-128-GCM:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-RSA"
         ":-GROUP-ALL:+GROUP-X25519:+GROUP-SECP256R1",
         ""},
        {"TLS 1.3 follows the listed ciphers", tls_of(v12, v13, {0xcca9, 0xcca8}),
         "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-KX-ALL"
         ":+ECDHE-ECDSA:+ECDHE-RSA:%SERVER_PRECEDENCE",
         ""},
        {"parts that bring unlisted suites", tls_of(v12, v12, {0xc02f, 0x009d}), "",
         "cipher_suites would also serve TLS_RSA_WITH_AES_128_GCM_SHA256, TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384" +
             std::string(by_parts)},
        {"the same parts, unlisted only for TLS 1.2, with 1.2 not served", tls_of(v13, v13, {0x1301, 0xc030}),
         "NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-RSA"
         ":%SERVER_PRECEDENCE",
         ""},
        {"no suite for TLS 1.3", tls_of(v12, v13, {0xc013}), "",
         "cipher_suites leaves TLS 1.3 without a suite: list an AES-GCM or CHACHA20-POLY1305 suite, or set "
         "max_version: TLS12"},
        {"no suite for TLS 1.2", tls_of(v12, v13, {0x1301}), "",
         "cipher_suites leaves TLS 1.2 without a suite: list one, or set min_version: TLS13"},
    };
    for (const Case& c : cases) {
        const auto got = tls_priorities(c.settings);
        if (c.priorities.empty()) {
            ASSERT_FALSE(got.has_value()) << c.name;
            EXPECT_EQ(got.error(), c.refusal) << c.name;
        } else {
            ASSERT_TRUE(got.has_value()) << c.name << ": " << got.error();
            EXPECT_EQ(*got, c.priorities) << c.name;
        }
    }
}

TEST(TlsPriorities, AskedOfGnuTls) {
    EXPECT_EQ(gnutls_cipher_suite_support(0xc02b), SuiteSupport::served);
    EXPECT_EQ(gnutls_cipher_suite_support(0x1303), SuiteSupport::served);
    EXPECT_EQ(gnutls_cipher_suite_support(0x0005), SuiteSupport::weak);  // RC4
    EXPECT_EQ(gnutls_cipher_suite_support(0xc0ff), SuiteSupport::absent);
    EXPECT_TRUE(gnutls_has_group("SECP384R1"));
    EXPECT_FALSE(gnutls_has_group("X25519MLKEM768"));
}

TEST(ResponseHeaders, ReservedAndMalformedRefused) {
    struct Case {
        const char* name;
        const char* value;
        const char* refusal;  // null: accepted
    };
    const Case cases[] = {
        {"Content-Security-Policy", "default-src 'self'", nullptr},
        {"X-Frame-Options", "SAMEORIGIN", nullptr},
        {"X-Frame-Options", "allow-from x", "X-Frame-Options must be deny or sameorigin"},
        {"X-Content-Type-Options", "sniff", "X-Content-Type-Options must be nosniff"},
        {"content-length", "5", "header \"content-length\" is set by the exporter itself"},
        {"WWW-Authenticate", "Basic", "header \"WWW-Authenticate\" is set by the exporter itself"},
        {"Bad Name", "x", "header \"Bad Name\" is not a header name"},
        {"X-Split", "a\r\nSet-Cookie: b", "the value of header \"X-Split\" holds a control character"},
    };
    for (const Case& c : cases) {
        const auto got = check_response_header(c.name, c.value);
        if (c.refusal == nullptr) {
            EXPECT_TRUE(got.has_value()) << c.name << ": " << got.error();
        } else {
            ASSERT_FALSE(got.has_value()) << c.name;
            EXPECT_EQ(got.error(), c.refusal);
        }
    }
}

}  // namespace
}  // namespace quorlin::exporter
