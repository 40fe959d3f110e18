// CCTFCertStorage: opening, closing, adding, deleting and the searches.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cert/frame.h"
#include "cert/oids.h"
#include "contexts/contexts_internal.h"
#include "contexts/storage_factory.h"

using namespace cert::contexts;

namespace {

DWORD ProviderNumber(const char* provider) {
    const auto value = reinterpret_cast<std::uintptr_t>(provider);
    return value < 0x10000 ? static_cast<DWORD>(value) : 0xFFFFFFFFu;
}

std::string Hex8(DWORD code) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", code);
    return text;
}

// Opens the named file once for reading and writing and closes it again,
// as the platform did after a commit: it never creates or truncates it.
void TouchStoreFile(const std::string& path) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const DWORD code = cert::platform::ErrnoToWinError(errno);
        Log("CCTFCertStorage::~CCTFCertStorage()=>::CreateFile() failed. LastError Code = " + Hex8(code) + "\n", 2);
        return;
    }
    ::close(fd);
}

}  // namespace

CCTFCertStorage::CCTFCertStorage(const CCTFString& name, const char* provider, unsigned long flags, unsigned long type,
                                 void* para) {
    OpenStorage(name, provider, flags, type, para);
}

CCTFCertStorage::CCTFCertStorage(const CCTFCertStorage& o)
    : m_store(o.m_store ? CertDuplicateStore(o.m_store) : nullptr),
      m_type(o.m_type),
      m_status(o.m_status),
      m_name(o.m_name),
      m_impl(o.m_impl) {}

CCTFCertStorage& CCTFCertStorage::operator=(const CCTFCertStorage& o) {
    if (this == &o) return *this;
    HCERTSTORE copy = o.m_store ? CertDuplicateStore(o.m_store) : nullptr;
    CloseStorage(false);
    m_store = copy;
    m_type = o.m_type;
    m_status = o.m_status;
    m_name = o.m_name;
    m_impl = o.m_impl;
    return *this;
}

CCTFCertStorage::~CCTFCertStorage() { CloseStorage(false); }

int CCTFCertStorage::OpenStorage(const CCTFString& name, const char* provider, unsigned long flags, unsigned long type,
                                 void* para) {
    return Answer(0, [&] {
        CloseStorage(false);
        m_name = name;
        m_type = type;
        m_status = 0;
        const DWORD number = ProviderNumber(provider);
        if (number == 7 || number == 8) {
            const char* given = static_cast<const char*>(name);
            const std::string path = vrks::certificate::StoragePath(given ? given : "");
            int status = 0;
            m_impl = vrks::certificate::CreateStorage(path, flags, &status);
            if (!m_impl) {
                const DWORD code = ToolsErr2WinErr(status);
                m_status = code ? static_cast<int>(code) : status;
                if (code) SetLastError(code);
                return 0;
            }
            m_store = CertDuplicateStore(m_impl->Handle());
        } else if (number == 2) {
            m_store = CertOpenStore(provider, CAPI_ENCODING, 0, flags, nullptr);
        } else if (number == 6) {
            m_store = CertOpenStore(provider, CAPI_ENCODING, 0, flags, para);
        } else if (number == 10) {
            m_store = CertOpenStore(provider, CAPI_ENCODING, 0, flags, static_cast<const char16_t*>(name));
        } else {
            m_store = CertOpenStore(provider, CAPI_ENCODING, 0, flags, static_cast<const char*>(name));
        }
        if (!m_store) {
            m_status = static_cast<int>(GetLastError());
            return 0;
        }
        return 1;
    });
}

bool CCTFCertStorage::CloseStorage(bool force) {
    return Answer(false, [&] {
        const std::string path = m_impl ? m_impl->Path() : std::string();
        const bool hadHandle = m_store != nullptr;
        const bool ok = vrks::certificate::CloseStorage(m_impl, m_store, force);
        if (ok && hadHandle) {
            const char* name = static_cast<const char*>(m_name);
            TouchStoreFile(!path.empty() ? path : std::string(name ? name : ""));
        }
        return ok;
    });
}

// ---------------------------------------------------------------------------
BOOL CCTFCertStorage::AddCertificate(const CCTFCertContext& cert) {
    return CertAddCertificateContextToStore(m_store, cert.GetContext(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
}

BOOL CCTFCertStorage::AddCertificateList(const std::list<CCTFCertContext>& certs) {
    BOOL result = FALSE;
    for (const CCTFCertContext& c : certs)
        result |= CertAddCertificateContextToStore(m_store, c.GetContext(), CERT_STORE_ADD_USE_EXISTING, nullptr);
    return result;
}

BOOL CCTFCertStorage::AddEncodetCertificate(const IdentObj& encoded, unsigned long encoding) {
    return CertAddEncodedCertificateToStore(m_store, encoding, encoded.data(), encoded.size(),
                                            CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, nullptr);
}

BOOL CCTFCertStorage::AddCRLContext(const CCTFCRLContext& crl, unsigned long disposition) {
    return CertAddCRLContextToStore(m_store, crl.GetContext(), disposition, nullptr);
}

BOOL CCTFCertStorage::AddEncodetCRL(const IdentObj& encoded, unsigned long encoding) {
    return CertAddEncodedCRLToStore(m_store, encoding, encoded.data(), encoded.size(), CERT_STORE_ADD_ALWAYS, nullptr);
}

BOOL CCTFCertStorage::DeleteCertificate(const CCTFCertContext& cert) {
    if (!m_store || !cert.GetContext()) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    // This storage's copy: the context given may come from another store.
    PCCERT_CONTEXT mine =
        CertFindCertificateInStore(m_store, CAPI_ENCODING, 0, CERT_FIND_EXISTING, cert.GetContext(), nullptr);
    if (!mine) return FALSE;
    return CertDeleteCertificateFromStore(mine);
}

BOOL CCTFCertStorage::DeleteCRL(const CCTFCRLContext& crl) {
    if (!m_store || !crl.GetContext()) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    for (PCCRL_CONTEXT c = CertEnumCRLsInStore(m_store, nullptr); c; c = CertEnumCRLsInStore(m_store, c)) {
        if (c->cbCrlEncoded == crl.GetContext()->cbCrlEncoded &&
            std::memcmp(c->pbCrlEncoded, crl.GetContext()->pbCrlEncoded, c->cbCrlEncoded) == 0)
            return CertDeleteCRLFromStore(c);
    }
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return FALSE;
}

BOOL CCTFCertStorage::Clear() {
    if (!m_store) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    BOOL ok = TRUE;
    while (PCCERT_CONTEXT c = CertEnumCertificatesInStore(m_store, nullptr))
        if (!CertDeleteCertificateFromStore(c)) {
            ok = FALSE;
            break;
        }
    return ok;
}

// ---------------------------------------------------------------------------
// Searches.
namespace {

// The platform's search in a loop, each match appended with the storage's
// type.
void FindAll(HCERTSTORE store, DWORD findType, const void* para, DWORD storageType, std::list<CCTFCertContext>& out,
             bool (*keep)(PCCERT_CONTEXT, const void*) = nullptr, const void* keepArg = nullptr) {
    for (PCCERT_CONTEXT c = CertFindCertificateInStore(store, CAPI_ENCODING, 0, findType, para, nullptr); c;
         c = CertFindCertificateInStore(store, CAPI_ENCODING, 0, findType, para, c)) {
        if (keep && !keep(c, keepArg)) continue;
        CCTFCertContext found(c);
        found.SetStorageType(storageType);
        out.push_back(std::move(found));
    }
}

bool NamesEqual(const CCTFX509Name& a, const CRYPTOAPI_BLOB& b) {
    if (SameBytes(a.blob(), b)) return true;
    try {
        return a == CCTFX509Name(b);
    } catch (const XTOOStatus&) {
        return false;
    }
}

bool Set(const FILETIME& t) { return t.dwLowDateTime || t.dwHighDateTime; }

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// The template's key identifier: its subject key identifier extension, or
// a subject that is one key-identifier attribute and nothing else to go by.
bool TemplateKeyId(const CCTFCertInfo& t, IdentObj& keyId, bool& fromName) {
    fromName = false;
    if (const CCTFCertExtension* ext = t.m_extensions.Find(cert::oids::kSubjectKeyIdentifier)) {
        IdentObj blob;
        // The model gives this one bare: the OCTET STRING's content.
        if (ext->DecodeData(blob, cert::oids::kSubjectKeyIdentifier)) {
            keyId = std::move(blob);
            return !keyId.IsEmpty();
        }
    }
    if (t.m_subject.IsEmpty() || !t.m_serialNumber.IsEmpty() || !t.m_issuer.IsEmpty()) return false;
    std::list<std::list<CCTFRDNAttr>> rdns;
    try {
        t.m_subject.GetNameInfo(rdns);
    } catch (const XTOOStatus&) {
        return false;
    }
    if (rdns.size() != 1 || rdns.front().size() != 1) return false;
    const CCTFRDNAttr& a = rdns.front().front();
    if (a.GetOID() != kKeyIdAttribute) return false;
    keyId = a.GetValue();
    fromName = true;
    return !keyId.IsEmpty();
}

struct Template {
    const CCTFCertInfo* info;
    IdentObj keyId;
    bool keyIdFromName;
};

bool Matches(PCCERT_CONTEXT c, const void* arg) {
    const Template& t = *static_cast<const Template*>(arg);
    const CERT_INFO* ci = c->pCertInfo;
    const CCTFCertInfo& i = *t.info;
    if (!i.m_serialNumber.IsEmpty() && !SameBytes(i.m_serialNumber.blob(), ci->SerialNumber)) return false;
    if (!i.m_issuer.IsEmpty() && !NamesEqual(i.m_issuer, ci->Issuer)) return false;
    if (!t.keyIdFromName && !i.m_subject.IsEmpty() && !NamesEqual(i.m_subject, ci->Subject)) return false;
    if (Set(i.m_notBefore) && !SameTime(i.m_notBefore, ci->NotBefore)) return false;
    if (Set(i.m_notAfter) && !SameTime(i.m_notAfter, ci->NotAfter)) return false;
    if (!t.keyId.IsEmpty() && CCTFCertContext(c).GetSubjectKeyId() != t.keyId) return false;
    return true;
}

}  // namespace

bool CCTFCertStorage::FindCertList(std::list<CCTFCertContext>& out, unsigned long findType, const void* para) const {
    return Answer(false, [&] {
        if (!m_store) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return false;
        }
        IPC::CReadLocker lock(CertDll::StorageLock());
        if (findType != CERT_FIND_SUBJECT_CERT) {
            FindAll(m_store, findType, para, m_type, out);
            return true;
        }
        if (!para) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return false;
        }
        Template t{static_cast<const CCTFCertInfo*>(para), {}, false};
        const CCTFCertInfo& info = *t.info;
        TemplateKeyId(info, t.keyId, t.keyIdFromName);
        // Each search goes through one of the store's indexes; the template's
        // other fields are then compared on what it gives.
        const std::size_t before = out.size();
        if (!info.m_serialNumber.IsEmpty()) {
            // By issuer and serial as encoded; an issuer typed otherwise
            // (other string types, another order) goes by the serial alone.
            CERT_INFO key{};
            key.SerialNumber = info.m_serialNumber.blob();
            key.Issuer = info.m_issuer.blob();
            FindAll(m_store, CERT_FIND_SUBJECT_CERT, &key, m_type, out, Matches, &t);
            if (out.size() == before && key.Issuer.cbData) {
                key.Issuer = CERT_NAME_BLOB{0, nullptr};
                FindAll(m_store, CERT_FIND_SUBJECT_CERT, &key, m_type, out, Matches, &t);
            }
        } else if (!t.keyId.IsEmpty()) {
            const CRYPT_HASH_BLOB id = t.keyId.blob();
            FindAll(m_store, CERT_FIND_KEY_IDENTIFIER, &id, m_type, out, Matches, &t);
        } else if (!info.m_subject.IsEmpty() || !info.m_issuer.IsEmpty()) {
            // Names as encoded first; a name typed otherwise matches only as
            // a name, which no index holds.
            const bool bySubject = !info.m_subject.IsEmpty();
            const CERT_NAME_BLOB name = bySubject ? info.m_subject.blob() : info.m_issuer.blob();
            FindAll(m_store, bySubject ? CERT_FIND_SUBJECT_NAME : CERT_FIND_ISSUER_NAME, &name, m_type, out, Matches,
                    &t);
            if (out.size() == before) FindAll(m_store, CERT_FIND_ANY, nullptr, m_type, out, Matches, &t);
        } else {
            FindAll(m_store, CERT_FIND_ANY, nullptr, m_type, out, Matches, &t);
        }
        return true;
    });
}

CCTFCRLContext CCTFCertStorage::FindCRLInStore(DWORD findFlags, const void* para,
                                               const CCTFCRLContext& previous) const {
    return Answer(CCTFCRLContext(), [&] {
        if (!m_store) return CCTFCRLContext();
        IPC::CReadLocker lock(CertDll::StorageLock());
        // The search frees the previous context it is given: give it one of
        // its own.
        PCCRL_CONTEXT prev = previous.GetContext() ? CertDuplicateCRLContext(previous.GetContext()) : nullptr;
        DWORD flags = findFlags;
        PCCRL_CONTEXT next = CertGetCRLFromStore(m_store, static_cast<PCCERT_CONTEXT>(para), prev, &flags);
        CCTFCRLContext out(next);
        if (next) CertFreeCRLContext(next);
        return out;
    });
}

std::list<CCTFCRLContext> CCTFCertStorage::GetCRLList() const {
    return Answer(std::list<CCTFCRLContext>(), [&] {
        std::list<CCTFCRLContext> out;
        if (!m_store) return out;
        IPC::CReadLocker lock(CertDll::StorageLock());
        for (PCCRL_CONTEXT c = CertEnumCRLsInStore(m_store, nullptr); c; c = CertEnumCRLsInStore(m_store, c))
            out.emplace_back(c);
        return out;
    });
}
