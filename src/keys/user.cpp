// CCTFUser: opening the user's container, its passwords, the key cache,
// and the helpers of the keys layer.
#include <cstring>

#include "cert/oids.h"
#include "cert/storedev.h"
#include "keys/keys_internal.h"

namespace cert::keys {

IPC::CReadWriteLock& UserKeyLock() {
    static IPC::CReadWriteLock lock(kUserKeyLockName);
    return lock;
}

std::string ParamText(const IdentObj& value) {
    std::string s(value.view());
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

int LastStatus() {
    const DWORD e = GetLastError();
    return WinErr2ToolsErr(e ? e : static_cast<DWORD>(NTE_FAIL));
}

void Fail(int status, const char* place) { throw XTOOStatus(status, place); }

void FailLast(const char* place) { Fail(LastStatus(), place); }

void EndEnumeration(HCRYPTPROV prov) {
    IdentObj name;
    // The walk ends with a failure; the list is the context's, so this ends.
    for (int guard = 0; guard < 1 << 20 && VRKGetProvParam(prov, PP_ENUMCONTAINERS, name, 0); ++guard) {
    }
}

bool SetKeyProvider(CCTFCertContext& certificate, const std::string& container, DWORD keySpec) {
    std::u16string wideContainer, wideProvider;
    if (!TOOUtf8ToUtf16(container, wideContainer) || !TOOUtf8ToUtf16(VRK_PROV_GOST, wideProvider)) return false;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = wideContainer.data();
    info.pwszProvName = wideProvider.data();
    info.dwProvType = VRK_PROV_TYPE_GOST;
    info.dwFlags = 0;
    info.dwKeySpec = keySpec;
    return certificate.CCTFSetContextProperty(CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
}

}  // namespace cert::keys

using namespace cert::keys;

namespace {

bool SetSecretParam(HCRYPTPROV prov, DWORD param, const cert::Secret& value) {
    return VRKSetProvParam(prov, param, value.c_str(), 0) != FALSE;
}

}  // namespace

CCTFUser::CCTFUser(const CCTFUser& o) try
    : m_provider(o.m_provider), m_path(o.m_path), m_password(o.m_password), m_pin(o.m_pin) {
} catch (...) {
    TOORethrowAsStatus("CCTFUser");
}

CCTFUser& CCTFUser::operator=(const CCTFUser& o) try {
    if (this == &o) return *this;
    // Copied before the reset: `o` may share what the reset lets go.
    CCTFProvider provider(o.m_provider);
    CTOOString path(o.m_path);
    cert::Secret password(o.m_password), pin(o.m_pin);
    Reset();
    m_provider = provider;
    m_path = std::move(path);
    m_password = std::move(password);
    m_pin = std::move(pin);
    return *this;
} catch (...) {
    TOORethrowAsStatus("CCTFUser");
}

CCTFUser::~CCTFUser() { DestroyKeys(); }

void CCTFUser::DestroyKeys() const {
    for (const CachedKey& k : m_keys) VRKDestroyKey(k.handle);
    m_keys.clear();
    m_cursor = m_keys.end();
}

HCRYPTKEY CCTFUser::Cache(HCRYPTKEY key, const IdentObj& publicBits) const {
    m_keys.push_front(CachedKey{key, publicBits});
    m_cursor = m_keys.begin();
    return key;
}

void CCTFUser::Reset() {
    m_path = CTOOString();
    m_password.Clear();
    m_pin.Clear();
    m_certificate.Reset();
    m_publicKey = CCTFCertPublicKeyInfo();
    DestroyKeys();
    m_provider.Reset();
}

int CCTFUser::LogInUser(const char* path, const cert::Secret& password, const cert::Secret& pin, const char* algorithm,
                        bool create, bool silent, bool machine) {
    try {
        m_path = path;
        m_password = password;
        m_pin = pin;
        DWORD flags = password.empty() && pin.empty() ? VRK_CHOOSE_CONTAINER : 0;
        if (create) flags |= CRYPT_NEWKEYSET;
        if (silent && !(flags & VRK_CHOOSE_CONTAINER)) flags |= CRYPT_SILENT;
        if (machine) flags |= CRYPT_MACHINE_KEYSET;
        // Keys of the container opened before must not answer for this one.
        DestroyKeys();
        m_provider.Reset();
        if (algorithm && std::strcmp(algorithm, cert::oids::kGostR3410_2012_256) == 0)
            m_provType = VRK_PROV_TYPE_GOST_2012_256;
        else if (algorithm && std::strcmp(algorithm, cert::oids::kGostR3410_2012_512) == 0)
            m_provType = VRK_PROV_TYPE_GOST_2012_512;
        int status = 0;
        if (!m_provider.Init(path, nullptr, m_provType, flags, &status)) return status;
        if (!password.empty() && !SetSecretParam(GetProvider(), PP_SIGNATURE_PIN, password)) return LastStatus();
        if (!pin.empty() && !SetSecretParam(GetProvider(), PP_KEYEXCHANGE_PIN, pin)) return LastStatus();
        return 0;
    } catch (...) {
        return TOOStatusOfCurrentException();
    }
}

int CCTFUser::OpenProvider(const char* container, const char* providerName, unsigned long type, unsigned long flags) {
    try {
        DestroyKeys();
        m_provider.Reset();
        m_provType = static_cast<DWORD>(type);
        int status = 0;
        if (!m_provider.Init(container, providerName, type, flags, &status)) return status;
        if (!container || !*container) return status;
        m_path = container;
        if (flags & VRK_CHOOSE_CONTAINER) {
            CTOOString unique = m_provider.GetFullContainerName(&status);
            if (status) return status;
            m_path = unique;
        }
        return 0;
    } catch (...) {
        return TOOStatusOfCurrentException();
    }
}

void CCTFUser::SetPath(const char* path) {
    try {
        m_path = path;
    } catch (...) {
        TOORethrowAsStatus("CCTFUser::SetPath");
    }
}

void CCTFUser::SetPassword(const cert::Secret& password) {
    try {
        m_password = password;
    } catch (...) {
        TOORethrowAsStatus("CCTFUser::SetPassword");
    }
    if (!password.empty() && GetProvider()) SetSecretParam(GetProvider(), PP_SIGNATURE_PIN, password);
}

void CCTFUser::SetPIN(const cert::Secret& pin) {
    try {
        m_pin = pin;
    } catch (...) {
        TOORethrowAsStatus("CCTFUser::SetPIN");
    }
    if (!pin.empty() && GetProvider()) SetSecretParam(GetProvider(), PP_KEYEXCHANGE_PIN, pin);
}

int CCTFUser::SetDefenceKey(HCRYPTKEY key) {
    if (!key) return TOOERR_BADARG;
    if (!GetProvider()) return TOOERR_BADFORMAT;
    // The provider takes the address of the handle, not the handle.
    if (!VRKSetProvParam(GetProvider(), VRK_PP_PROTECTION_KEY, &key, 0)) return LastStatus();
    return 0;
}

bool CCTFUser::CheckPassword() const {
    const HCRYPTPROV prov = GetProvider();
    if (!prov) return false;
    VRKSCApi::CryptKey key;
    if (VRKGetUserKey(prov, AT_SIGNATURE, &key)) return true;
    // A cancelled prompt is the user's answer for the container, not a
    // reason to try its other key.
    if (GetLastError() == ERROR_CANCELLED) return false;
    return VRKGetUserKey(prov, AT_KEYEXCHANGE, &key) != FALSE;
}

bool CCTFUser::ChangePassword(const cert::Secret& newPassword, int* error) {
    return m_provider.ChangePassword(newPassword.c_str(), error);
}

int CCTFUser::CanChangePassword(const char* container, bool machine) {
    try {
        CCTFProvider provider;
        int status = 0;
        if (!provider.Init(container, VRK_PROV_GOST, VRK_PROV_TYPE_GOST,
                           CRYPT_SILENT | (machine ? CRYPT_MACHINE_KEYSET : 0), &status))
            return status;
        return provider.CanChangePassword();
    } catch (...) {
        return TOOStatusOfCurrentException();
    }
}

CTOOString CCTFUser::MakeContainerName(const char* path, unsigned long kind) try {
    CTOOString same(path ? path : "");
    if (kind != 1) return same;
    try {
        bool onDevice = false;
        CTOOString folder, container;
        if (!storedev::ParseFullPath(path, &onDevice, &folder, &container) || !onDevice) return same;
        if (!container.IsEmpty()) return same;
        // The folder part only: the whole path would name the container twice.
        CTOOString out;
        if (!storedev::MakeFullPath(out, folder, "sgn_cont", "")) return same;
        return out;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        return same;
    }
} catch (...) {
    TOORethrowAsStatus("CCTFUser::MakeContainerName");
}
