// The CRL signatures the GOST provider does not check: OpenSSL's, apart
// from the platform's declarations, whose names OpenSSL uses too.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>

namespace cert::contexts {

int VerifyCrlWithOpenssl(const std::uint8_t* crl, std::uint32_t crlSize, const std::uint8_t* issuer,
                         std::uint32_t issuerSize) {
    const unsigned char* p = crl;
    X509_CRL* c = d2i_X509_CRL(nullptr, &p, static_cast<long>(crlSize));
    const unsigned char* q = issuer;
    X509* i = d2i_X509(nullptr, &q, static_cast<long>(issuerSize));
    int ok = 0;
    if (c && i)
        if (EVP_PKEY* key = X509_get0_pubkey(i)) ok = X509_CRL_verify(c, key) == 1 ? 1 : 0;
    X509_CRL_free(c);
    X509_free(i);
    return ok;
}

}  // namespace cert::contexts
