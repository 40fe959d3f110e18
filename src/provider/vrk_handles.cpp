// Handle tables and the owning wrappers.
#include <memory>

#include <openssl/crypto.h>

#include "provider/vrk_internal.h"

namespace vrk {

HandleTable<ProvObj>& Provs() {
    static HandleTable<ProvObj> t(0x10000001u);
    return t;
}
HandleTable<KeyObj>& Keys() {
    static HandleTable<KeyObj> t(0x20000001u);
    return t;
}
HandleTable<HashObj>& Hashes() {
    static HandleTable<HashObj> t(0x30000001u);
    return t;
}

std::shared_ptr<ProvObj> GetProv(HCRYPTPROV h) {
    auto p = Provs().Get(h);
    if (!p) Throw(NTE_BAD_UID);
    return p;
}
std::shared_ptr<KeyObj> GetKey(HCRYPTKEY h) {
    auto k = Keys().Get(h);
    if (!k) Throw(NTE_BAD_KEY);
    return k;
}
std::shared_ptr<HashObj> GetHash(HCRYPTHASH h) {
    auto x = Hashes().Get(h);
    if (!x) Throw(NTE_BAD_HASH);
    return x;
}

KeyObj::~KeyObj() { gost::Cleanse(secret); }

}  // namespace vrk

namespace VRKSCApi {

void CryptProvider::Release() {
    if (m_h) {
        // Releasing never changes what the caller's failed call left.
        DWORD keep = GetLastError();
        VRKReleaseContext(m_h, 0);
        SetLastError(keep);
    }
    m_h = 0;
}
CryptProvider& CryptProvider::operator=(CryptProvider&& o) noexcept {
    if (std::addressof(o) != this) {
        Release();
        m_h = o.Detach();
    }
    return *this;
}

void CryptKey::Destroy() {
    if (m_h) {
        // Releasing never changes what the caller's failed call left.
        DWORD keep = GetLastError();
        VRKDestroyKey(m_h);
        SetLastError(keep);
    }
    m_h = 0;
}
CryptKey& CryptKey::operator=(CryptKey&& o) noexcept {
    if (std::addressof(o) != this) {
        Destroy();
        m_h = o.Detach();
    }
    return *this;
}

void CryptHash::Destroy() {
    if (m_h) {
        // Releasing never changes what the caller's failed call left.
        DWORD keep = GetLastError();
        VRKDestroyHash(m_h);
        SetLastError(keep);
    }
    m_h = 0;
}
CryptHash& CryptHash::operator=(CryptHash&& o) noexcept {
    if (std::addressof(o) != this) {
        Destroy();
        m_h = o.Detach();
    }
    return *this;
}

}  // namespace VRKSCApi
