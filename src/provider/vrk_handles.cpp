// Handle tables, the owning wrappers and how an exception becomes the
// caller's last error.
#include <memory>
#include <new>
#include <system_error>

#include "provider/vrk_internal.h"

namespace vrk {

DWORD CurrentExceptionWinError() noexcept {
    try {
        throw;
    } catch (const ProviderError& e) {
        return e.code;
    } catch (const gost::Error& e) {
        return e.WinError();
    } catch (const XTOOStatus& e) {
        switch (e.Status()) {
            case TOOERR_NOMEM:
                return NTE_NO_MEMORY;
            case TOOERR_BADFORMAT:  // the foundation's codecs: little-endian layouts and DER
            case TOOERR_DER_FORMAT:
            case TOOERR_DER_DEPTH:
            case TOOERR_DER_LIMIT:
                return NTE_BAD_DATA;
            default:
                if (DWORD w = ToolsErr2WinErr(e.Status())) return w;
                return NTE_FAIL;
        }
    } catch (const std::bad_alloc&) {
        return NTE_NO_MEMORY;
    } catch (const std::system_error& e) {
        if (e.code().category() == std::generic_category() || e.code().category() == std::system_category())
            if (DWORD w = cert::platform::ErrnoToWinError(e.code().value())) return w;
        return NTE_FAIL;
    } catch (...) {
        return NTE_FAIL;
    }
}

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

}  // namespace vrk

namespace VRKSCApi {

namespace {
// Releasing never changes what the caller's failed call left.
template <class ReleaseFn>
void ReleaseKeepingLastError(DWORD& handle, ReleaseFn release) {
    if (handle) {
        DWORD keep = GetLastError();
        release(handle);
        SetLastError(keep);
    }
    handle = 0;
}
}  // namespace

void CryptProvider::Release() {
    ReleaseKeepingLastError(m_h, [](DWORD h) { VRKReleaseContext(h, 0); });
}
CryptProvider& CryptProvider::operator=(CryptProvider&& o) noexcept {
    if (std::addressof(o) != this) {
        Release();
        m_h = o.Detach();
    }
    return *this;
}

void CryptKey::Destroy() {
    ReleaseKeepingLastError(m_h, [](DWORD h) { VRKDestroyKey(h); });
}
CryptKey& CryptKey::operator=(CryptKey&& o) noexcept {
    if (std::addressof(o) != this) {
        Destroy();
        m_h = o.Detach();
    }
    return *this;
}

void CryptHash::Destroy() {
    ReleaseKeepingLastError(m_h, [](DWORD h) { VRKDestroyHash(h); });
}
CryptHash& CryptHash::operator=(CryptHash&& o) noexcept {
    if (std::addressof(o) != this) {
        Destroy();
        m_h = o.Detach();
    }
    return *this;
}

}  // namespace VRKSCApi
