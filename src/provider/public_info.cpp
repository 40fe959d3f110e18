// RSA keys keep their SubjectPublicKeyInfo as they were made or imported.
#include "provider/public_info.h"
#include "provider/vrk_internal.h"

namespace vrk {

BOOL RsaPublicKeyInfo(HCRYPTKEY hKey, IdentObj& spki) {
    return Guard([&] {
        auto k = GetKey(hKey);
        std::lock_guard<std::mutex> lock(k->mu);
        if (!k->key || k->key.IsGost() || k->publicRaw.IsEmpty()) Throw(NTE_BAD_ALGID);
        spki = k->publicRaw;
    });
}

}  // namespace vrk
