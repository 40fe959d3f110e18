// CCTFProvider and its counted handle, the container-list functions and the
// public-key conversion for the provider.
#include <cstring>

#include "cert/asn.h"
#include "cert/asnkeys.h"
#include "cert/lecursor.h"
#include "cert/oid.h"
#include "cert/structfiles.h"
#include "cert/vrkscapi.h"
#include "contexts/contexts_internal.h"

CCTFHProv::~CCTFHProv() {
    if (m_hProv) VRKReleaseContext(m_hProv, 0);
}

CCTFProvider::CCTFProvider(const CCTFProvider& o) : m_holder(o.m_holder) {
    if (m_holder) m_holder->AddRef();
}

CCTFProvider& CCTFProvider::operator=(const CCTFProvider& o) {
    if (o.m_holder) o.m_holder->AddRef();
    Reset();
    m_holder = o.m_holder;
    return *this;
}

CCTFProvider::~CCTFProvider() { Reset(); }

void CCTFProvider::Reset() {
    if (m_holder) m_holder->Release();
    m_holder = nullptr;
}

namespace {

// The provider a type stands for when no name is given.
const char* ProviderForType(const char* name, unsigned long type) {
    if (name && *name) return name;
    switch (type) {
        case 0:
        case VRK_PROV_TYPE_GOST:
            return VRK_PROV_GOST;
        case VRK_PROV_TYPE_GOST_2012_256:
            return VRK_PROV_GOST_2012_256;
        case VRK_PROV_TYPE_GOST_2012_512:
            return VRK_PROV_GOST_2012_512;
        default:
            return name;
    }
}

// The reporting rule of CCTFProvider: into *error, or thrown.
bool Fail(DWORD winError, const char* place, int* error) {
    TOOReport(WinErr2ToolsErr(winError ? winError : static_cast<DWORD>(NTE_FAIL)), place, error);
    return false;
}

}  // namespace

bool CCTFProvider::Init(const char* container, const char* provider, unsigned long type, unsigned long flags,
                        int* error) {
    const char* place = container ? container : "";
    HCRYPTPROV h = 0;
    bool acquired = false;
    try {
        acquired = VRKAcquireContext(&h, container, ProviderForType(provider, type), static_cast<DWORD>(type),
                                     static_cast<DWORD>(flags)) != FALSE;
    } catch (...) {
        TOOReportCurrentException(place, error);
        return false;
    }
    if (!acquired) return Fail(GetLastError(), place, error);
    CCTFHProv* holder = nullptr;
    try {
        holder = new CCTFHProv(h);
    } catch (...) {
        VRKReleaseContext(h, 0);
        TOOReportCurrentException(place, error);
        return false;
    }
    Reset();
    m_holder = holder;
    if (error) *error = 0;
    return true;
}

int CCTFProvider::CanChangePassword() const {
    try {
        const HCRYPTPROV h = GetProviderHandle();
        IdentObj name;
        if (!h || !VRKGetProvParam(h, PP_ENUMCONTAINERS, name, CRYPT_FIRST)) return CTFERR_NO_CONTAINER_INFO;
        IdentObj record;
        ASNContainerInfo info;
        int status = 0;
        if (!VRKGetProvParam(h, VRK_PP_CONTAINER_INFO, record, 0) || !info.Decode(record, &status))
            return CTFERR_NO_CONTAINER_INFO;
        const bool underPassword = (info.protectionKeyInfo.dwFlags & VRK_PROTECT_PASSWORD) != 0;
        const bool hasKey = (info.keyInfo.dwFlags & (VRK_KEYINFO_EXCHANGE | VRK_KEYINFO_SIGNATURE)) != 0;
        return underPassword && hasKey ? 0 : CTFERR_PASSWORD_NOT_CHANGEABLE;
    } catch (...) {
        return TOOStatusOfCurrentException();
    }
}

bool CCTFProvider::ChangePassword(const char* newPassword, int* error) {
    constexpr const char* kPlace = "CCTFProvider::ChangePassword";
    const int can = CanChangePassword();
    if (can) {
        TOOReport(can, kPlace, error);
        return false;
    }
    if (!VRKSetProvParam(GetProviderHandle(), VRK_PP_CHANGE_PASSWORD, newPassword ? newPassword : "", 0))
        return Fail(GetLastError(), kPlace, error);
    if (error) *error = 0;
    return true;
}

bool CCTFProvider::SetPassword(const char* password) {
    const HCRYPTPROV h = GetProviderHandle();
    if (!h) {
        SetLastError(static_cast<DWORD>(NTE_BAD_UID));
        return false;
    }
    return VRKSetProvParam(h, PP_SIGNATURE_PIN, password ? password : "", 0) != FALSE;
}

CTOOString CCTFProvider::GetFullContainerName(int* error) const {
    constexpr const char* kPlace = "CCTFProvider::GetContainerName";
    IdentObj name;
    if (!GetProviderHandle()) {
        Fail(static_cast<DWORD>(NTE_BAD_UID), kPlace, error);
        return CTOOString();
    }
    if (!VRKGetProvParam(GetProviderHandle(), PP_UNIQUE_CONTAINER, name, 0)) {
        Fail(GetLastError(), kPlace, error);
        return CTOOString();
    }
    if (error) *error = 0;
    std::string_view text = name.view();
    if (const auto zero = text.find('\0'); zero != std::string_view::npos) text = text.substr(0, zero);
    return CTOOString(std::string(text));
}

// ---------------------------------------------------------------------------
// The container list.
void CSPAddContainer(const char* path, HWND) try {
    if (!path || !*path) throw XTOOStatus(TOOERR_BADARG, "CSPAddContainer");
    CommonContInfoList list;
    if (const int status = list.Add(path)) throw XTOOStatus(status, "CSPAddContainer");
} catch (...) {
    TOORethrowAsStatus("CSPAddContainer");
}

std::vector<CTOOString> CSPGetContanerList() try {
    std::vector<CTOOString> out;
    CommonContInfoList list;
    for (const char* p = list.GetFirst(); p; p = list.GetNext()) out.emplace_back(p);
    return out;
} catch (...) {
    TOORethrowAsStatus("CSPGetContanerList");
}

void CSPRemoveContainerFromList(const char* path, bool deleteKeys) try {
    if (!path || !*path) throw XTOOStatus(TOOERR_BADARG, "CSPRemoveContainerFromList");
    CommonContInfoList list;
    if (const int status = list.Erase(path)) throw XTOOStatus(status, "CSPRemoveContainerFromList");
    if (deleteKeys) {
        HCRYPTPROV gone = 0;
        if (!VRKAcquireContext(&gone, path, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET))
            throw XTOOStatus(CTFERR_CONTAINER_NOT_DELETED, path);
    }
} catch (...) {
    TOORethrowAsStatus("CSPRemoveContainerFromList");
}

bool CSPIsPasswordSaved(const char* container, bool machine) try {
    int saved = 0;
    if (!VRKIsPasswordSaved(container, machine ? CRYPT_MACHINE_KEYSET : 0, &saved))
        throw XTOOStatus(WinErr2ToolsErr(GetLastError()), "CSPIsPasswordSaved", 1);
    return saved != 0;
} catch (...) {
    TOORethrowAsStatus("CSPIsPasswordSaved");
}

void CSPRemoveSavedPassword(const char* container, bool machine) try {
    if (!VRKRemoveSavedPassword(container, machine ? CRYPT_MACHINE_KEYSET : 0))
        throw XTOOStatus(WinErr2ToolsErr(GetLastError()), "CSPRemoveSavedPassword", 1);
} catch (...) {
    TOORethrowAsStatus("CSPRemoveSavedPassword");
}

// ---------------------------------------------------------------------------
IdentObj CTFConvertPublicKeyInfo(const CCTFCertPublicKeyInfo& info) try {
    constexpr const char* kPlace = "CTFConvertPublicKeyInfo";
    const std::string oid(info.m_algorithm.GetOID().c_str());
    unsigned algId = 0, extra = 0;
    if (oid.empty() || !GetAlgIDFromOID(oid.data(), oid.size(), algId, extra))
        throw XTOOStatus(TOOERR_UNKNOWN_ALG, kPlace);
    // GOST key bits hold the key as an OCTET STRING; anything else is
    // taken as it stands.
    const BYTE* key = info.m_publicKey.data();
    DWORD keySize = info.m_publicKey.size();
    if (keySize > 2 && key[0] == 0x04) {
        try {
            asn::Reader r(asn::Bytes(key, keySize));
            const asn::Element e = r.Expect(asn::kOctetString);
            r.Finish();
            const std::size_t n = e.content.size();
            if (n + 2 == keySize || n + 3 == keySize) {
                key = e.content.data();
                keySize = static_cast<DWORD>(n);
            }
        } catch (const asn::Error&) {
        }
    }
    le::Writer w;
    w.U8(PUBLICKEYBLOB).U8(VRK_PUBLICKEY_BLOB_VERSION).U16(0).U32(algId).U32(VRK_PUBLICKEY_MAGIC).U32(keySize * 8);
    w.Put(info.m_algorithm.GetParameters()).Put(key, keySize);
    return w.Take();
} catch (...) {
    TOORethrowAsStatus("CTFConvertPublicKeyInfo");
}
