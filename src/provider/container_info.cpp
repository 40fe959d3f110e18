// What a container tells about itself: the container information record.
#include <openssl/sha.h>

#include "cert/asn.h"
#include "provider/vrk_internal.h"

namespace vrk {

IdentObj KeyIdOf(ALG_ID alg, const IdentObj& publicKey) {
    IdentObj bits;
    if (KeyAlgOf(alg) == gost::KeyAlg::Rsa) {
        bits = publicKey;
    } else {
        asn::Writer w;
        w.OctetString(publicKey);
        bits = w.Take();
    }
    BYTE md[SHA_DIGEST_LENGTH];
    SHA1(bits.data(), bits.size(), md);
    return IdentObj(md, sizeof md);
}

namespace {
ASNKeyInfo KeyInfoOf(const StoredKey& k, DWORD holds) {
    ASNKeyInfo ki;
    ki.dwFlags = holds | (k.certificate.IsEmpty() ? 0 : VRK_KEYINFO_CERTIFICATE) |
                 (k.protection & kProtectPassword ? VRK_KEYINFO_PASSWORD : 0);
    ki.dwKeySpec = k.spec;
    ki.algId = k.alg;
    ki.keyId = KeyIdOf(k.alg, k.publicKey);
    ki.publicKey = k.publicKey;
    ki.paramSet = k.paramSet;
    ki.notBefore = k.created;
    ki.notAfter = k.notAfter;
    ki.certificate = k.certificate;
    return ki;
}
}  // namespace

ASNContainerInfo MakeContainerInfo(const Container& c) {
    ASNContainerInfo info;
    info.name = c.name;
    DWORD holds = 0;
    for (const auto& k : c.keys) holds |= k.spec == AT_KEYEXCHANGE ? VRK_KEYINFO_EXCHANGE : VRK_KEYINFO_SIGNATURE;
    info.keyInfo.dwFlags = holds;
    if (const StoredKey* d = c.Default()) {
        info.keyInfo = KeyInfoOf(*d, holds);
        info.protectionKeyInfo.dwFlags = d->protection;
        if (d->kdf == Kdf::Scrypt) {
            // id-scrypt (RFC 7914); the cost shown is N.
            info.protectionKeyInfo.kdf = "1.3.6.1.4.1.11591.4.11";
            info.protectionKeyInfo.iterations = d->scryptLog2N < 32 ? DWORD(1) << d->scryptLog2N : 0;
        } else {
            info.protectionKeyInfo.iterations = d->iterations;
        }
    }
    for (const auto& k : c.keys) info.keys.push_back(KeyInfoOf(k, holds));
    return info;
}

}  // namespace vrk
