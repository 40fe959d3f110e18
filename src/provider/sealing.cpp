// Sealing private keys: AES-256-GCM under a key derived from the key's
// password (scrypt) or from the key set's own secret (PBKDF2, one round:
// the secret is 32 random bytes). The derivation and its cost are stored
// with each key, so keys sealed under an older rule keep opening.
#include <cstdlib>

#include "provider/vrk_internal.h"

namespace vrk {
namespace store {
namespace {

constexpr std::size_t kSaltLen = 16, kNonceLen = 12, kTagLen = 16, kCheckLen = 16, kKeyLen = 32;
constexpr DWORD kScryptLog2N = 15, kScryptR = 8, kScryptP = 1;

// The scrypt cost of new password keys: N = 2^15, unless the test suite
// asks for less through CERT_TEST_SCRYPT_LOG2N (1..15; read once). Never
// more: a value above 15 or not a number is ignored.
unsigned PasswordLog2N() {
    static const unsigned log2N = [] {
        const char* v = std::getenv("CERT_TEST_SCRYPT_LOG2N");
        if (!v || !*v) return kScryptLog2N;
        char* end = nullptr;
        unsigned long n = std::strtoul(v, &end, 10);
        return *end || n < 1 || n > kScryptLog2N ? kScryptLog2N : static_cast<DWORD>(n);
    }();
    return log2N;
}

// What the seal is bound to: a sealed key cannot be moved to another slot
// or public key unnoticed.
IdentObj Aad(const StoredKey& k) { return le::Writer().U32(k.spec).U32(k.alg).Put(k.publicKey).Take(); }

// The sealing key (bytes 0..31) and the password check value (32..47).
Secret Derive(const StoredKey& k, gost::ByteView base) {
    constexpr std::size_t n = kKeyLen + kCheckLen;
    switch (k.kdf) {
        case Kdf::Pbkdf2Sha256:
            return gost::Pbkdf2Sha256(base, gost::View(k.salt), k.iterations, n);
        case Kdf::Scrypt:
            return gost::Scrypt(base, gost::View(k.salt), k.scryptLog2N, k.scryptR, k.scryptP, n);
    }
    Throw(NTE_KEYSET_ENTRY_BAD);
}

}  // namespace

void Seal(StoredKey& key, bool machine, const Secret* password, gost::ByteView secret) {
    StoredKey k = key;
    Secret base;
    if (password) {
        base = *password;
        k.protection = kProtectPassword;
        k.kdf = Kdf::Scrypt;
        k.iterations = 0;
        k.scryptLog2N = PasswordLog2N();
        k.scryptR = kScryptR;
        k.scryptP = kScryptP;
    } else {
        base = KeySetSecret(machine);
        k.protection = kProtectUserKey;
        k.kdf = Kdf::Pbkdf2Sha256;
        k.iterations = 1;
        k.scryptLog2N = k.scryptR = k.scryptP = 0;
    }
    k.salt = gost::ToIdent(gost::RandomBytes(kSaltLen));
    k.nonce = gost::ToIdent(gost::RandomBytes(kNonceLen));
    Secret d = Derive(k, base.view());
    k.check.Assign(d.data() + kKeyLen, kCheckLen);
    k.sealed =
        gost::ToIdent(gost::AesGcmSeal(d.view().first(kKeyLen), gost::View(k.nonce), gost::View(Aad(k)), secret));
    key = std::move(k);
}

DWORD Unseal(const StoredKey& key, bool machine, const Secret* password, Secret& secret) {
    Secret base;
    if (key.protection & kProtectPassword) {
        if (!password) return ERROR_CANCELLED;
        base = *password;
    } else if (key.protection & kProtectUserKey) {
        base = KeySetSecret(machine);
    } else {
        return NTE_KEYSET_ENTRY_BAD;
    }
    if (key.sealed.size() <= kTagLen || key.salt.size() != kSaltLen || key.nonce.size() != kNonceLen ||
        key.check.size() != kCheckLen)
        return NTE_KEYSET_ENTRY_BAD;
    Secret d;
    try {
        d = Derive(key, base.view());
    } catch (const gost::Error& e) {
        // Costs out of range come from a damaged (or forged) file.
        if (e.WinError() == NTE_BAD_DATA) return NTE_KEYSET_ENTRY_BAD;
        throw;
    }
    if (!cert::SameBytes(gost::View(key.check), d.view().subspan(kKeyLen)))
        return (key.protection & kProtectPassword) ? VRK_E_WRONG_PASSWORD : NTE_KEYSET_ENTRY_BAD;
    try {
        secret = gost::AesGcmOpen(d.view().first(kKeyLen), gost::View(key.nonce), gost::View(Aad(key)),
                                  gost::View(key.sealed));
    } catch (const gost::Error& e) {
        if (e.WinError() == NTE_BAD_DATA) return NTE_KEYSET_ENTRY_BAD;
        throw;
    }
    return 0;
}

}  // namespace store
}  // namespace vrk
