#include "exporter/tls_weak_inputs.hpp"

#include <gnutls/x509.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>

namespace quorlin::exporter {

namespace {

std::string utc_text(std::time_t when) {
    std::tm parts{};
    if (::gmtime_r(&when, &parts) == nullptr) return "?";
    std::array<char, 32> text{};
    std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text.data();
}

std::string which_certificate(const TlsSettings& settings, std::size_t index) {
    return settings.cert_file + ": " +
           (index == 0 ? std::string("the certificate") : "certificate " + std::to_string(index + 1) + " of the chain");
}

void check_dates(const TlsSettings& settings, std::size_t index, const gnutls_pcert_st& pcert, std::time_t now,
                 std::vector<std::string>& warnings) {
    gnutls_x509_crt_t certificate = nullptr;
    if (gnutls_x509_crt_init(&certificate) < 0) return;
    if (gnutls_x509_crt_import(certificate, &pcert.cert, GNUTLS_X509_FMT_DER) >= 0) {
        const std::time_t ends = gnutls_x509_crt_get_expiration_time(certificate);
        const std::time_t begins = gnutls_x509_crt_get_activation_time(certificate);
        if (ends != static_cast<std::time_t>(-1) && ends < now) {
            warnings.push_back(which_certificate(settings, index) + " expired on " + utc_text(ends) +
                               "; serving it until it is replaced");
        } else if (begins != static_cast<std::time_t>(-1) && begins > now) {
            warnings.push_back(which_certificate(settings, index) + " is not valid before " + utc_text(begins) +
                               "; serving it until it is replaced");
        }
    }
    gnutls_x509_crt_deinit(certificate);
}

}  // namespace

std::vector<std::string> weak_tls_inputs(const TlsSettings& settings, std::span<const gnutls_pcert_st> chain,
                                         gnutls_privkey_t key, std::time_t now) {
    std::vector<std::string> warnings;
    for (std::size_t i = 0; i < chain.size(); ++i) check_dates(settings, i, chain[i], now, warnings);
    unsigned bits = 0;
    const int algorithm = gnutls_privkey_get_pk_algorithm(key, &bits);
    if ((algorithm == GNUTLS_PK_RSA || algorithm == GNUTLS_PK_RSA_PSS) && bits < weakest_rsa_bits) {
        warnings.push_back(settings.key_file + ": an RSA key of " + std::to_string(bits) + " bits, under " +
                           std::to_string(weakest_rsa_bits) + "; serving it until it is replaced");
    }
    struct stat status{};
    if (::stat(settings.key_file.c_str(), &status) == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        std::array<char, 8> mode{};
        std::snprintf(mode.data(), mode.size(), "%04o", static_cast<unsigned>(status.st_mode & 07777));
        warnings.push_back(settings.key_file + ": the private key is readable by " +
                           ((status.st_mode & S_IROTH) != 0 ? "others" : "its group") + " (mode " + mode.data() +
                           "); chmod 600 it");
    }
    return warnings;
}

}  // namespace quorlin::exporter
