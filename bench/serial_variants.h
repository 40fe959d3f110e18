// Certificates for the load benches: one self-signed P-256 certificate made
// here, then copies that differ only in their serial (0x10000000 + i), so
// that every encoding is distinct. Their signatures no longer verify; the
// loads measured do not check them.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <vector>

namespace bench {

inline std::vector<std::vector<unsigned char>> SerialVariants(std::size_t count) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 0x11223344);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365);
    X509_set_pubkey(x, key);
    if (!X509_sign(x, key, EVP_sha256())) std::abort();
    unsigned char* out = nullptr;
    const int n = i2d_X509(x, &out);
    if (n <= 0) std::abort();
    const std::vector<unsigned char> der(out, out + n);
    OPENSSL_free(out);
    X509_free(x);
    EVP_PKEY_free(key);
    static const unsigned char serial[] = {0x02, 0x04, 0x11, 0x22, 0x33, 0x44};
    const auto at = std::search(der.begin(), der.end(), std::begin(serial), std::end(serial)) - der.begin() + 2;
    std::vector<std::vector<unsigned char>> certs;
    certs.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<unsigned char> copy = der;
        const std::uint32_t v = 0x10000000u | std::uint32_t(i);
        for (int b = 0; b < 4; ++b) copy[at + b] = static_cast<unsigned char>(v >> (24 - 8 * b));
        certs.push_back(std::move(copy));
    }
    return certs;
}

}  // namespace bench
