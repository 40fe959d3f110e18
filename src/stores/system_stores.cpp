// Copies of certificates and CRLs into the home's system stores, and the
// CRL cache's share of a new CRL.
#include <cstdio>

#include "cert/frame.h"
#include "cert/logdisp.h"
#include "cert/transdir.h"
#include "stores/chain_internal.h"
#include "stores/crl_hooks.h"

namespace cert::stores {

CCTFCertStorage OpenSystemStore(const char* name, unsigned long flags, unsigned long type) {
    CCTFCertStorage store;
    if (store.OpenStorage(CCTFString(name), CERT_STORE_PROV_SYSTEM_W, flags, type, nullptr)) store.SetType(type);
    return store;
}

}  // namespace cert::stores

namespace {

constexpr const char* kAddPlace = "CTFAddCertToSystemStorage";
constexpr int kStoreNotOpened = 17;

// The system store a certificate belongs in: "MY" with a private key, else
// by what it is.
const char* StoreNameFor(const CCTFCertContext& cert) {
    const DWORD keyType = cert.GetPrivateKeyType();
    if (keyType != 0 && keyType != 0xFFFFFFFFu) return "MY";
    switch (cert.GetCertificateType()) {
        case 2:
            return "CA";
        case 3:
            return "Root";
        default:
            return "AddressBook";
    }
}

unsigned long Location(unsigned long flags) {
    return (flags & 0x10) ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
}

CCTFCertStorage OpenOrThrow(const char* name, unsigned long flags) {
    CCTFCertStorage store = cert::stores::OpenSystemStore(name, Location(flags), 0);
    if (!store.IsOpen()) throw XTOOStatus(kStoreNotOpened, name);
    return store;
}

void AddOne(const CCTFCertContext& cert, unsigned long flags) {
    CCTFCertStorage store = OpenOrThrow(StoreNameFor(cert), flags);
    const BOOL added =
        (flags & 0x20) ? store.AddEncodetCertificate(cert.GetEncoded(), CAPI_ENCODING) : store.AddCertificate(cert);
    if (!added) throw XTOOStatus(WinErr2ToolsErr(GetLastError()), kAddPlace);
}

void Report(const char* format, DWORD code) {
    CLogDisp* disp = CertDll::GetLogDisp();
    if (!disp) return;
    char text[96];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(code));
    disp->Put(text);
}

}  // namespace

int CTFAddCertToSystemStorage(const CCTFCertContext& cert, unsigned long flags, int* error) {
    return TOOGuarded(kAddPlace, error, 0, [&] {
        if (!cert.IsInitialized()) throw XTOOStatus(TOOERR_BADARG, kAddPlace);
        AddOne(cert, flags);
        return 1;
    });
}

int CTFAddCertToSystemStorage(const CCTFCertificateChain& chain, unsigned long flags, int* error) {
    return TOOGuarded(kAddPlace, error, 0, [&] {
        if (chain.elements.empty() || !chain.elements.front().cert.IsInitialized())
            throw XTOOStatus(TOOERR_BADARG, kAddPlace);
        bool first = true;
        for (const CCTFChainElement& e : chain.elements) {
            if (first || (flags & 0x1)) AddOne(e.cert, flags);
            first = false;
            // A CRL goes beside the certificate of its issuer.
            if ((flags & 0x2) && e.crl.IsInitialized() && e.issuer.IsInitialized()) {
                CCTFCertStorage store = OpenOrThrow(StoreNameFor(e.issuer), flags);
                if (!store.AddCRLContext(e.crl, CERT_STORE_ADD_NEWER) && GetLastError() != CRYPT_E_EXISTS)
                    throw XTOOStatus(WinErr2ToolsErr(GetLastError()), kAddPlace);
            }
        }
        return 1;
    });
}

int CTFUpdateCrlInSystemStorage(const std::list<CCTFCRLContext>& crls) {
    try {
        const ULONGLONG now = CTOOFileTime::now().Ticks();
        std::list<CCTFCRLContext> current;
        for (const CCTFCRLContext& c : crls) {
            if (!c.IsInitialized()) continue;
            const CRL_INFO& info = *c.GetContext()->pCrlInfo;
            const CTOOFileTime nextUpdate(info.NextUpdate);
            if (CTOOFileTime(info.ThisUpdate).Ticks() <= now && (nextUpdate.IsEmpty() || nextUpdate.Ticks() >= now))
                current.push_back(c);
        }
        if (current.empty()) return 1;
        struct Location {
            unsigned long flags;
            const char* openError;
            const char* addError;
        };
        const Location locations[] = {
            {CERT_SYSTEM_STORE_CURRENT_USER, "Error open MS Storages Current user %08X",
             "Error add CRL to MS Storages CurrentUser %08X"},
            {CERT_SYSTEM_STORE_LOCAL_MACHINE, "Error open MS Storages LocalMachine %08X",
             "Error add CRL to MS Storages LocalMachine %08X"},
        };
        int reached = 0;
        for (const Location& at : locations) {
            CCTFCertStorage ca = cert::stores::OpenSystemStore("CA", at.flags, cert::stores::kSystemCaType);
            CCTFCertStorage root = ca.IsOpen()
                                       ? cert::stores::OpenSystemStore("Root", at.flags, cert::stores::kSystemRootType)
                                       : CCTFCertStorage();
            if (!ca.IsOpen() || !root.IsOpen()) {
                Report(at.openError, GetLastError());
                continue;
            }
            ++reached;
            for (const CCTFCRLContext& c : current) {
                const CERT_NAME_BLOB issuerName = c.GetContext()->pCrlInfo->Issuer;
                for (CCTFCertStorage* store : {&ca, &root}) {
                    std::list<CCTFCertContext> issuers;
                    store->FindCertList(issuers, CERT_FIND_SUBJECT_NAME, &issuerName);
                    if (issuers.empty()) continue;
                    if (!store->AddCRLContext(c, CERT_STORE_ADD_NEWER) && GetLastError() != CRYPT_E_EXISTS)
                        Report(at.addError, GetLastError());
                    break;
                }
            }
        }
        return reached ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void CTFUpdateCacheCrl(const CCTFCRLContext& crl) {
    try {
        if (const CertDll::CrlCacheHooks* cache = CertDll::RunningCrlCache(); cache && cache->update)
            cache->update(crl);
    } catch (...) {
        // The cache keeps what it had.
    }
}
