#include "probe/tls_trust.hpp"

#include <gnutls/x509.h>

namespace quorlin {

std::optional<std::string> ca_certificates_refusal(std::string_view pem) {
    if (pem.find("-----BEGIN CERTIFICATE-----") == std::string_view::npos) return "holds no PEM certificate";
    gnutls_x509_crt_t* certificates = nullptr;
    unsigned int count = 0;
    const gnutls_datum_t data{reinterpret_cast<unsigned char*>(const_cast<char*>(pem.data())),
                              static_cast<unsigned int>(pem.size())};
    const int read = gnutls_x509_crt_list_import2(&certificates, &count, &data, GNUTLS_X509_FMT_PEM, 0);
    if (read < 0) return std::string("holds a certificate that does not read: ") + gnutls_strerror(read);
    for (unsigned int i = 0; i < count; ++i) gnutls_x509_crt_deinit(certificates[i]);
    gnutls_free(certificates);
    if (count == 0) return "holds no PEM certificate";
    return std::nullopt;
}

}  // namespace quorlin
