#pragma once
// The TLS settings as GnuTLS's priority string. GnuTLS enables cipher suites
// by their parts (key exchange, cipher, MAC), not one by one: a list whose
// parts would also enable a suite it does not name is refused rather than
// served wider than written. TLS 1.3's suites follow the ciphers listed.

#include "exporter/tls_settings.hpp"

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quorlin::exporter {

// Whether this GnuTLS knows the cipher suite with this IANA code point, and
// whether its defaults serve it (they leave out RC4, 3DES and the like).
enum class SuiteSupport { absent, weak, served };
SuiteSupport gnutls_cipher_suite_support(std::uint16_t code);
bool gnutls_has_group(std::string_view group);

// The priority string for the versions, suites, groups and preference in
// `settings`; refused with the reason when the suites cannot be served as listed.
std::expected<std::string, std::string> tls_priorities(const TlsSettings& settings);

}  // namespace quorlin::exporter
