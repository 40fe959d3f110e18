// Container descriptions: what a key container tells about itself and its
// keys without opening them, deleting containers, and the container list.
#include <atomic>
#include <string>
#include <string_view>

#include "cert/ctfuser.h"
#include "cert/oid.h"
#include "cert/structfiles.h"
#include "cert/vrkscapi.h"

namespace {

std::atomic<CTFKeyCertificateSearch> g_certificateSearch{nullptr};

// The reporting rule of the functions with `int* error, CTOOString* place`.
template <class F>
bool Reported(const char* place, int* error, CTOOString* where, F&& body) {
    try {
        body();
        if (error) *error = 0;
        if (where) where->Empty();
        return true;
    } catch (...) {
        CTOOString inner;
        const int status = TOOStatusOfCurrentException(&inner);
        TOOReport(status, inner.IsEmpty() ? place : inner.c_str(), error, where);
    }
    return false;
}

// A provider's text parameter without its terminating zero.
CTOOString ParamText(const IdentObj& b) {
    std::string_view s = b.view();
    if (const auto zero = s.find('\0'); zero != std::string_view::npos) s = s.substr(0, zero);
    return CTOOString(std::string(s));
}

DWORD KeySetFlag(bool machine) { return machine ? CRYPT_MACHINE_KEYSET : 0; }

// The key-provider property that lets a certificate reach its key: the
// container by its unique name, so that it opens from any key set.
void BindToKey(CCTFCertContext& certificate, const CTOOString& container, bool machine, DWORD keySpec) {
    std::u16string wideContainer, wideProvider;
    if (!TOOUtf8ToUtf16(container.c_str(), wideContainer) || !TOOUtf8ToUtf16(VRK_PROV_GOST, wideProvider))
        throw XTOOStatus(TOOERR_BADENCODING, "CCTFContEntry::GetKeyInfo");
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = wideContainer.data();
    info.pwszProvName = wideProvider.data();
    info.dwProvType = VRK_PROV_TYPE_GOST;
    info.dwFlags = KeySetFlag(machine);
    info.dwKeySpec = keySpec;
    if (!certificate.CCTFSetContextProperty(CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
        throw XTOOStatus(WinErr2ToolsErr(GetLastError()), "CCTFContEntry::GetKeyInfo");
}

bool SameKey(const CCTFUserKeyInfo& a, const ASNKeyInfo& b) {
    return a.m_keyId == b.keyId && a.m_keySpec == b.dwKeySpec;
}

// The keys an entry describes: its list, or (a record that names only its
// default key) that key.
std::vector<ASNKeyInfo> KeysOf(const ASNContainerInfo& info) {
    if (!info.keys.empty() || !info.keyInfo.dwKeySpec) return info.keys;
    return {info.keyInfo};
}

}  // namespace

CCTFUserKeyInfo::~CCTFUserKeyInfo() = default;
CCTFUserContainerInfo::~CCTFUserContainerInfo() = default;
CCTFContEntry::~CCTFContEntry() = default;
CCTFContainer::~CCTFContainer() = default;

CCTFContEntry::CCTFContEntry(const ASNContainerInfo& info, const CTOOString& uniqueName, bool machine)
    : ASNContainerInfo(info), m_uniqueName(uniqueName), m_machine(machine) {}

CCTFUserContainerInfo CCTFContEntry::GetKeyInfo() const try {
    CCTFUserContainerInfo out;
    out.m_container = m_uniqueName;
    out.m_machine = m_machine;
    for (const ASNKeyInfo& k : KeysOf(*this)) {
        CCTFUserKeyInfo key;
        key.m_keyId = k.keyId;
        key.m_keySpec = k.dwKeySpec;
        key.m_algId = k.algId;
        key.m_paramSet = k.paramSet;
        key.m_publicKey = k.publicKey;
        key.m_notBefore = CTOOFileTime(k.notBefore);
        key.m_validity = CTOOFileTime(k.notAfter);
        key.m_hasPassword = (k.dwFlags & VRK_KEYINFO_PASSWORD) != 0;
        // An algorithm the registry does not name is described without one.
        GetOIDFromAlgID(key.m_algorithm, k.algId, 0xFFFF);
        CCTFCertContext certificate;
        // A stored certificate that does not decode is as good as none: the
        // description of the key still stands.
        if (!k.certificate.IsEmpty()) certificate.CreateContext(k.certificate);
        if (!certificate.IsInitialized()) {
            if (CTFKeyCertificateSearch search = g_certificateSearch.load()) {
                try {
                    CCTFCertContext found;
                    if (search(key, found) && found.IsInitialized()) certificate = found;
                } catch (...) {
                }
            }
        }
        if (certificate.IsInitialized()) {
            BindToKey(certificate, m_uniqueName, m_machine, k.dwKeySpec);
            key.m_certificate = certificate;
        }
        out.m_keys.push_back(std::move(key));
    }
    return out;
} catch (...) {
    TOORethrowAsStatus("CCTFContEntry::GetKeyInfo");
}

CCTFContainer::CCTFContainer(const char* name, bool machine) { Load(name, machine); }

CCTFContainer& CCTFContainer::operator=(const CCTFContainer& o) {
    if (this == &o) return *this;
    CCTFContainer fresh;
    fresh.m_name = o.m_name;
    fresh.m_machine = o.m_machine;
    if (!o.m_name.IsEmpty()) fresh.Load(o.m_name.c_str(), o.m_machine);
    m_entries.swap(fresh.m_entries);
    m_name = fresh.m_name;
    m_machine = fresh.m_machine;
    return *this;
}

bool CCTFContainer::Load(const char* name, bool machine, int* error, CTOOString* place) {
    m_entries.clear();
    m_name = name ? name : "";
    m_machine = machine;
    return Reported("CCTFContainer::Load", error, place, [&] {
        CCTFProvider provider;
        provider.Init(m_name.c_str(), VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_SILENT | KeySetFlag(machine), nullptr);
        IdentObj unique, record;
        if (!VRKGetProvParam(provider.GetProviderHandle(), PP_UNIQUE_CONTAINER, unique, 0))
            throw XTOOStatus(TOOERR_NO_CONTAINER_INFO, "VRKGetProvParam");
        if (!VRKGetProvParam(provider.GetProviderHandle(), VRK_PP_CONTAINER_INFO, record, 0))
            throw XTOOStatus(TOOERR_NO_CONTAINER_INFO, "VRKGetProvParam");
        ASNContainerInfo info;
        int status = 0;
        if (!info.Decode(record, &status)) throw XTOOStatus(TOOERR_NO_CONTAINER_INFO, "ASNContainerInfo");
        m_entries.emplace_back(info, ParamText(unique), machine);
    });
}

CCTFUserContainerInfo CCTFContainer::GetContainerInfo() const try {
    CCTFUserContainerInfo out;
    out.m_machine = m_machine;
    for (const CCTFContEntry& e : m_entries) {
        CCTFUserContainerInfo one = e.GetKeyInfo();
        if (out.m_container.IsEmpty()) out.m_container = one.m_container;
        out.m_keys.splice(out.m_keys.end(), one.m_keys);
    }
    return out;
} catch (...) {
    TOORethrowAsStatus("CCTFContainer::GetContainerInfo");
}

bool CCTFContainer::DeleteEntry(CCTFUserKeyInfo& key, int* error, CTOOString* place) {
    return Reported("CCTFContainer::DeleteEntry", error, place, [&] {
        auto it = m_entries.begin();
        for (; it != m_entries.end(); ++it) {
            const std::vector<ASNKeyInfo> keys = KeysOf(*it);
            // A container without keys is named by a key info without a key.
            bool holds = keys.empty() && key.m_keyId.IsEmpty();
            for (const ASNKeyInfo& k : keys) holds = holds || SameKey(key, k);
            if (holds) break;
        }
        if (it == m_entries.end()) throw XTOOStatus(TOOERR_NO_CONTAINER_INFO, "CCTFContainer::DeleteEntry");
        // Acquiring with the delete flag leaves no context behind.
        CCTFProvider gone;
        const CTOOString unique = it->m_uniqueName;
        gone.Init(unique.c_str(), VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET | KeySetFlag(it->m_machine),
                  nullptr);
        m_entries.erase(it);
        // The container is gone: the machine-wide list must not name it
        // under either name, whichever it was added with.
        CommonContInfoList list;
        for (const CTOOString& n : {m_name, unique}) {
            if (n.IsEmpty()) continue;
            const int status = list.Erase(n.c_str());
            if (status && status != TOOERR_NOTFOUND) throw XTOOStatus(status, "CommonContInfoList");
        }
    });
}

void CTFGetContainerList(std::list<CTOOString>& names, bool machine, bool fullyQualified) try {
    names.clear();
    VRKSCApi::CryptProvider provider;
    if (!VRKAcquireContext(&provider, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST,
                           CRYPT_VERIFYCONTEXT | KeySetFlag(machine)))
        throw XTOOStatus(WinErr2ToolsErr(GetLastError()), "CTFGetContainerList");
    std::list<CTOOString> found;
    DWORD flags = CRYPT_FIRST | CRYPT_UNIQUE | (fullyQualified ? CRYPT_FQCN : 0);
    for (;;) {
        IdentObj name;
        if (!VRKGetProvParam(provider, PP_ENUMCONTAINERS, name, flags)) {
            const DWORD e = GetLastError();
            if (e == ERROR_NO_MORE_ITEMS) break;
            throw XTOOStatus(WinErr2ToolsErr(e), "CTFGetContainerList");
        }
        found.push_back(ParamText(name));
        flags = 0;
    }
    names.swap(found);
} catch (...) {
    TOORethrowAsStatus("CTFGetContainerList");
}

CTFKeyCertificateSearch CTFSetKeyCertificateSearch(CTFKeyCertificateSearch hook) {
    return g_certificateSearch.exchange(hook);
}
