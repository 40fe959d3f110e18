// SHA-1 and the signature check of keys the provider does not hold.
#include "capi/openssl_glue.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>

namespace cert::capi::ossl {

namespace {
struct Free {
    void operator()(X509* x) const { X509_free(x); }
    void operator()(X509_CRL* x) const { X509_CRL_free(x); }
};
}  // namespace

bool Sha1(const std::uint8_t* p, std::size_t n, std::uint8_t* out) {
    unsigned int len = 0;
    return EVP_Digest(p, n, out, &len, EVP_sha1(), nullptr) == 1 && len == 20;
}

bool Verifies(const std::uint8_t* signer, std::size_t signerSize, const std::uint8_t* p, std::size_t n, bool isCrl) {
    if (signerSize > LONG_MAX || n > LONG_MAX) return false;
    const unsigned char* in = signer;
    std::unique_ptr<X509, Free> issuer(d2i_X509(nullptr, &in, static_cast<long>(signerSize)));
    EVP_PKEY* key = issuer ? X509_get0_pubkey(issuer.get()) : nullptr;
    if (!key) return false;
    in = p;
    if (isCrl) {
        std::unique_ptr<X509_CRL, Free> crl(d2i_X509_CRL(nullptr, &in, static_cast<long>(n)));
        return crl && X509_CRL_verify(crl.get(), key) == 1;
    }
    std::unique_ptr<X509, Free> cert(d2i_X509(nullptr, &in, static_cast<long>(n)));
    return cert && X509_verify(cert.get(), key) == 1;
}

}  // namespace cert::capi::ossl
