// Password and secret sealing primitives: PBKDF2-HMAC-SHA-256, scrypt and
// AES-256-GCM from OpenSSL's default provider.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include "provider/gost.h"
#include "provider/gost_internal.h"

namespace cert::gost {

namespace {

constexpr std::size_t kGcmKey = 32, kGcmNonce = 12, kGcmTag = 16;
constexpr uint64_t kScryptMaxMemory = uint64_t(1) << 28;

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;

// OpenSSL takes an octet string by a non-null pointer even when it is empty.
void* OctetsOf(ByteView b) {
    static uint8_t none = 0;
    return b.empty() ? &none : const_cast<uint8_t*>(b.data());
}

CipherCtxPtr GcmContext(bool encrypt, ByteView key, ByteView nonce, ByteView aad) {
    if (key.size() != kGcmKey || nonce.size() != kGcmNonce) throw Error(NTE_BAD_DATA, "AES-GCM key or nonce length");
    CipherCtxPtr c(EVP_CIPHER_CTX_new());
    if (!c) detail::ThrowOpenSsl(NTE_NO_MEMORY, "EVP_CIPHER_CTX_new");
    int len = 0;
    detail::CheckOpenSsl(EVP_CipherInit_ex(c.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr, encrypt ? 1 : 0),
                         NTE_FAIL, "AES-GCM");
    detail::CheckOpenSsl(EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_GCM_SET_IVLEN, int(kGcmNonce), nullptr), NTE_FAIL,
                         "AES-GCM nonce");
    detail::CheckOpenSsl(EVP_CipherInit_ex(c.get(), nullptr, nullptr, key.data(), nonce.data(), encrypt ? 1 : 0),
                         NTE_FAIL, "AES-GCM key");
    if (!aad.empty())
        detail::CheckOpenSsl(EVP_CipherUpdate(c.get(), nullptr, &len, aad.data(), int(aad.size())), NTE_FAIL,
                             "AES-GCM associated data");
    return c;
}

}  // namespace

Secret Pbkdf2Sha256(ByteView secret, ByteView salt, uint32_t iterations, std::size_t outBytes) {
    if (iterations == 0 || iterations > 10000000 || outBytes == 0 || outBytes > 1024)
        throw Error(NTE_BAD_DATA, "PBKDF2 parameters");
    Secret out(outBytes);
    // The PKCS #5 form: no lower bounds on the iterations (the key set's own
    // secret is a random 32 bytes and needs no stretching).
    detail::CheckOpenSsl(PKCS5_PBKDF2_HMAC(static_cast<const char*>(OctetsOf(secret)), int(secret.size()),
                                           static_cast<const unsigned char*>(OctetsOf(salt)), int(salt.size()),
                                           int(iterations), EVP_sha256(), int(outBytes), out.data()),
                         NTE_FAIL, "PBKDF2");
    return out;
}

Secret Scrypt(ByteView password, ByteView salt, unsigned log2N, uint32_t r, uint32_t p, std::size_t outBytes) {
    if (log2N < 1 || log2N > 20 || r < 1 || r > 32 || p < 1 || p > 16 || outBytes == 0 || outBytes > 1024)
        throw Error(NTE_BAD_DATA, "scrypt parameters");
    uint64_t n = uint64_t(1) << log2N;
    if (128 * uint64_t(r) * n > kScryptMaxMemory) throw Error(NTE_BAD_DATA, "scrypt parameters");
    uint64_t maxmem = 128 * uint64_t(r) * (n + 2 + p) + (uint64_t(1) << 20);
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "SCRYPT", nullptr);
    if (!kdf) detail::ThrowOpenSsl(NTE_PROVIDER_DLL_FAIL, "scrypt");
    KdfCtxPtr ctx(EVP_KDF_CTX_new(kdf));
    EVP_KDF_free(kdf);
    if (!ctx) detail::ThrowOpenSsl(NTE_NO_MEMORY, "scrypt");
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, OctetsOf(password), password.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, OctetsOf(salt), salt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxmem),
        OSSL_PARAM_construct_end(),
    };
    Secret out(outBytes);
    detail::CheckOpenSsl(EVP_KDF_derive(ctx.get(), out.data(), out.size(), params), NTE_NO_MEMORY, "scrypt");
    return out;
}

Bytes AesGcmSeal(ByteView key32, ByteView nonce12, ByteView aad, ByteView clear) {
    CipherCtxPtr c = GcmContext(true, key32, nonce12, aad);
    Bytes out(clear.size() + kGcmTag);
    int len = 0, tail = 0;
    detail::CheckOpenSsl(EVP_CipherUpdate(c.get(), out.data(), &len, clear.data(), int(clear.size())), NTE_FAIL,
                         "AES-GCM");
    detail::CheckOpenSsl(EVP_CipherFinal_ex(c.get(), out.data() + len, &tail), NTE_FAIL, "AES-GCM");
    detail::CheckOpenSsl(EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_GCM_GET_TAG, int(kGcmTag), out.data() + clear.size()),
                         NTE_FAIL, "AES-GCM tag");
    return out;
}

Secret AesGcmOpen(ByteView key32, ByteView nonce12, ByteView aad, ByteView sealed) {
    if (sealed.size() < kGcmTag) throw Error(NTE_BAD_DATA, "AES-GCM sealed data too short");
    std::size_t n = sealed.size() - kGcmTag;
    CipherCtxPtr c = GcmContext(false, key32, nonce12, aad);
    Secret out(n);
    int len = 0, tail = 0;
    detail::CheckOpenSsl(EVP_CipherUpdate(c.get(), out.data(), &len, sealed.data(), int(n)), NTE_FAIL, "AES-GCM");
    uint8_t tag[kGcmTag];
    std::copy(sealed.begin() + n, sealed.end(), tag);
    detail::CheckOpenSsl(EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_GCM_SET_TAG, int(kGcmTag), tag), NTE_FAIL,
                         "AES-GCM tag");
    // Nothing of the clear text leaves when the tag does not match.
    if (EVP_CipherFinal_ex(c.get(), out.data() + len, &tail) <= 0)
        detail::ThrowOpenSsl(NTE_BAD_DATA, "AES-GCM: the tag does not match");
    return out;
}

}  // namespace cert::gost
