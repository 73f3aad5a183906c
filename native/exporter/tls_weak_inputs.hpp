#pragma once
// What is weak about a certificate and key the exporter serves all the same:
// a certificate outside its validity dates, an RSA key under 2048 bits, a key
// file that group or others can read. Operators rotate on their own schedule,
// so these are warnings, one line each, never refusals.

#include "exporter/tls_settings.hpp"

#include <gnutls/abstract.h>

#include <ctime>
#include <span>
#include <string>
#include <vector>

namespace quorlin::exporter {

inline constexpr unsigned weakest_rsa_bits = 2048;

std::vector<std::string> weak_tls_inputs(const TlsSettings& settings, std::span<const gnutls_pcert_st> chain,
                                         gnutls_privkey_t key, std::time_t now);

}  // namespace quorlin::exporter
