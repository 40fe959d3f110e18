// The exported checks over the chain engine, and the judgements of a chain
// the engine and they share.
#include <algorithm>
#include <iterator>
#include <set>

#include "cert/transdir.h"
#include "stores/chain_internal.h"

namespace cert::stores {

DWORD ElementBits(unsigned long checks, unsigned long applicationFlag) {
    DWORD bits = 0;
    if (checks & CTF_CHECK_SIGNATURE) bits |= CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    if (checks & CTF_CHECK_NO_CRL) {
        if (!(applicationFlag & CTF_APP_NO_CRL_UNKNOWN)) bits |= CERT_TRUST_REVOCATION_STATUS_UNKNOWN;
    } else if (checks & CTF_CHECK_REVOCATION) {
        bits |= CERT_TRUST_IS_REVOKED;
    }
    if (checks & CTF_CHECK_TIME) bits |= CERT_TRUST_IS_NOT_TIME_VALID;
    if (checks & CTF_CHECK_UNTRUSTED_ROOT) bits |= CERT_TRUST_IS_UNTRUSTED_ROOT;
    return bits;
}

bool IsSelfSignedRoot(const CCTFCertContext& cert) { return cert.IsSelfIssued() && cert.IsValidSignature(cert) == 1; }

bool IsCrlOfIssuer(const CCTFCRLContext& crl, const CCTFCertContext& issuer) {
    if (!crl.IsInitialized() || !issuer.IsInitialized()) return false;
    if (!CertCompareCertificateName(CAPI_ENCODING, &crl.GetContext()->pCrlInfo->Issuer,
                                    &issuer.GetContext()->pCertInfo->Subject))
        return false;
    const IdentObj keyId = crl.GetIssuerKeyId();
    if (!keyId.IsEmpty() && keyId != issuer.GetSubjectKeyId()) return false;
    // The store's CRL search checks (and remembers) the signature.
    CCTFCertStorage one(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 0, nullptr);
    CCTFCRLContext verified;
    return one.IsOpen() && one.AddCRLContext(crl, CERT_STORE_ADD_ALWAYS) && one.GetCrlFromStorage(issuer, verified);
}

namespace {

const CERT_EXTENSION* Extension(const CCTFCertContext& cert, const char* oid) {
    const CERT_INFO* info = cert.GetContext()->pCertInfo;
    for (DWORD i = 0; i < info->cExtension; ++i)
        if (info->rgExtension[i].pszObjId && std::string_view(info->rgExtension[i].pszObjId) == oid)
            return &info->rgExtension[i];
    return nullptr;
}

// Whether the element may stand above `below` certificates.
bool AllowsPath(const CCTFCertContext& cert, DWORD below) {
    if (const CERT_EXTENSION* ext = Extension(cert, "2.5.29.19")) {
        IdentObj blob;
        if (!CCTFCertExtension(*ext).DecodeData(blob, "2.5.29.19") ||
            blob.size() < sizeof(CERT_BASIC_CONSTRAINTS2_INFO))
            return false;
        const auto* bc = reinterpret_cast<const CERT_BASIC_CONSTRAINTS2_INFO*>(blob.data());
        return bc->fCA && (!bc->fPathLenConstraint || bc->dwPathLenConstraint + 1 >= below);
    }
    if (const CERT_EXTENSION* ext = Extension(cert, "2.5.29.10")) {
        IdentObj blob;
        if (!CCTFCertExtension(*ext).DecodeData(blob, "2.5.29.10") || blob.size() < sizeof(CERT_BASIC_CONSTRAINTS_INFO))
            return false;
        const auto* bc = reinterpret_cast<const CERT_BASIC_CONSTRAINTS_INFO*>(blob.data());
        if (bc->SubjectType.cbData < 1 || bc->SubjectType.pbData[0] != CERT_CA_SUBJECT_FLAG) return false;
        return !bc->fPathLenConstraint || bc->dwPathLenConstraint >= below;
    }
    return true;
}

// The CRL of `issuer` among the storage's whose validity holds `at`, the
// latest issued.
CCTFCRLContext CrlAt(const CCTFCertStorage& storage, const CCTFCertContext& issuer, const CTOOFileTime& at) {
    CCTFCRLContext best;
    for (const CCTFCRLContext& c : storage.GetCRLList()) {
        const CRL_INFO& info = *c.GetContext()->pCrlInfo;
        const CTOOFileTime thisUpdate(info.ThisUpdate), nextUpdate(info.NextUpdate);
        if (at.Ticks() < thisUpdate.Ticks() || (!nextUpdate.IsEmpty() && at.Ticks() > nextUpdate.Ticks())) continue;
        if (best.IsInitialized() && thisUpdate.Ticks() <= CTOOFileTime(best.GetContext()->pCrlInfo->ThisUpdate).Ticks())
            continue;
        if (!IsCrlOfIssuer(c, issuer)) continue;
        best = c;
    }
    return best;
}

}  // namespace

bool CheckBasicConstraints(CCTFCertificateChain& chain) {
    if (chain.elements.size() < 2) return true;
    bool ok = true;
    DWORD below = 0;
    for (CCTFChainElement& e : chain.elements) {
        if (below > 0 && !AllowsPath(e.cert, below)) {
            e.status.dwErrorStatus |= CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
            chain.status.dwErrorStatus |= CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
            ok = false;
        }
        ++below;
    }
    return ok;
}

}  // namespace cert::stores

void CCTFCertificateChain::Clear() {
    elements.clear();
    fromCache = true;
    status = {0, 0};
    time = {0, 0};
}

bool CTFVerifyCertificate(const CCTFCertContext& cert, CCTFCertificateChain& chain, unsigned long* flags,
                          const CCTFCertStorage* additional) {
    try {
        CCTFChainEngine engine;
        return engine.GetCertificateChain(cert, chain, flags, additional);
    } catch (...) {
        return false;
    }
}

bool CTFVerifyCertificate(const CCTFCertContext& cert, CERT_TRUST_STATUS& status) {
    try {
        CCTFCertificateChain chain;
        if (!CTFVerifyCertificate(cert, chain, nullptr, nullptr)) return false;
        status = chain.status;
        return true;
    } catch (...) {
        return false;
    }
}

bool CTFVerifyCertificateEx(const CCTFCertContext& cert, const CTOOFileTime& at, CERT_TRUST_STATUS& status,
                            CCTFCertStorage* crlStorage) {
    try {
        CCTFCertificateChain chain;
        if (!CTFVerifyCertificate(cert, chain, nullptr, crlStorage)) return false;
        CTFCorrectChainStatus(chain, at, crlStorage);
        status = chain.status;
        return status.dwErrorStatus == 0;
    } catch (...) {
        return false;
    }
}

bool CTFCorrectChainStatus(CCTFCertificateChain& chain, const CTOOFileTime& at, CCTFCertStorage* crlStorage) {
    try {
        // What the time cannot change stays: the chain's shape.
        const DWORD kept = chain.status.dwErrorStatus & (CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC);
        chain.status.dwErrorStatus = 0;
        const bool storage = crlStorage && crlStorage->IsOpen();
        for (CCTFChainElement& e : chain.elements) {
            DWORD bits =
                e.status.dwErrorStatus & ~(CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_INVALID_BASIC_CONSTRAINTS);
            if (!e.cert.IsValidTime(&at)) bits |= CERT_TRUST_IS_NOT_TIME_VALID;
            if (storage && e.issuer.IsInitialized())
                if (CCTFCRLContext c = cert::stores::CrlAt(*crlStorage, e.issuer, at); c.IsInitialized()) e.crl = c;
            if (e.crl.IsInitialized()) {
                bits &= ~(CERT_TRUST_IS_REVOKED | CERT_TRUST_REVOCATION_STATUS_UNKNOWN);
                const CRYPT_INTEGER_BLOB& serial = e.cert.GetContext()->pCertInfo->SerialNumber;
                const CRL_ENTRY* entry = e.crl.FindEntry(serial.pbData, serial.cbData);
                if (entry && CTOOFileTime(entry->RevocationDate).Ticks() < at.Ticks()) bits |= CERT_TRUST_IS_REVOKED;
            }
            e.status.dwErrorStatus = bits;
            chain.status.dwErrorStatus |= bits;
        }
        chain.status.dwErrorStatus |= kept;
        if (chain.status.dwErrorStatus == 0) cert::stores::CheckBasicConstraints(chain);
        return chain.status.dwErrorStatus == 0;
    } catch (...) {
        return false;
    }
}

int CTFVerifySubjectCertificateContext(const CCTFCertContext& subject, const CCTFCertContext& issuer,
                                       unsigned long* flags, CCTFCertStorage* crlStorage, CCTFCRLContext* crl) {
    try {
        if (!subject.IsInitialized() || !issuer.IsInitialized() || !flags) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (!subject.GetContext()->pCertInfo) {
            SetLastError(0x800B0006);
            return 0;
        }
        if ((*flags & CTF_CHECK_SIGNATURE) && subject.IsValidSignature(issuer) == 1) *flags &= ~CTF_CHECK_SIGNATURE;
        if (*flags & CTF_CHECK_TIME) {
            const CERT_INFO& s = *subject.GetContext()->pCertInfo;
            const CERT_INFO& i = *issuer.GetContext()->pCertInfo;
            const bool nested = CTOOFileTime(s.NotBefore).Ticks() >= CTOOFileTime(i.NotBefore).Ticks() &&
                                CTOOFileTime(s.NotAfter).Ticks() <= CTOOFileTime(i.NotAfter).Ticks();
            if (subject.IsValidTime() && nested) *flags &= ~CTF_CHECK_TIME;
        }
        if (*flags & CTF_CHECK_REVOCATION) {
            const CCTFCRLContext found = crlStorage && crlStorage->IsOpen()
                                             ? cert::stores::CrlAt(*crlStorage, issuer, CTOOFileTime::now())
                                             : CCTFCRLContext();
            if (!found.IsInitialized()) {
                *flags = (*flags & ~CTF_CHECK_REVOCATION) | CTF_CHECK_NO_CRL;
            } else {
                *flags &= ~CTF_CHECK_NO_CRL;
                if (crl) *crl = found;
                if (!subject.IsRevoked(found)) *flags &= ~CTF_CHECK_REVOCATION;
            }
        }
        return 1;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

void CTFCertGetValidUsages(const std::vector<CCTFCertContext>& certs, std::list<CTOOString>& usages, bool& anyUsage) {
    usages.clear();
    anyUsage = true;
    try {
        std::set<std::string> common;
        for (const CCTFCertContext& c : certs) {
            if (!c.IsInitialized()) continue;
            const CERT_EXTENSION* ext = cert::stores::Extension(c, "2.5.29.37");
            if (!ext) continue;
            std::set<std::string> mine;
            IdentObj blob;
            if (CCTFCertExtension(*ext).DecodeData(blob, "2.5.29.37") && blob.size() >= sizeof(CERT_ENHKEY_USAGE)) {
                const auto* eku = reinterpret_cast<const CERT_ENHKEY_USAGE*>(blob.data());
                for (DWORD i = 0; i < eku->cUsageIdentifier; ++i)
                    if (eku->rgpszUsageIdentifier[i]) mine.insert(eku->rgpszUsageIdentifier[i]);
            }
            if (anyUsage) {
                common = std::move(mine);
                anyUsage = false;
            } else {
                std::set<std::string> both;
                std::set_intersection(common.begin(), common.end(), mine.begin(), mine.end(),
                                      std::inserter(both, both.end()));
                common = std::move(both);
            }
        }
        for (const std::string& u : common) usages.emplace_back(u.c_str());
    } catch (...) {
        // Out of memory: nothing is known to be allowed.
        usages.clear();
        anyUsage = false;
    }
}

std::list<CCTFCertContext> CTFGetCertContextList(const CCTFCertStorage& storage, unsigned long filter) {
    if (!storage.IsOpen()) throw XTOOStatus(CTFERR_NO_TRUST_STORAGE, "CTFGetCertContextList");
    std::list<CCTFCertContext> all;
    storage.FindCertList(all, CERT_FIND_ANY, nullptr);
    if (filter == 0 || filter == 0x73) return all;
    std::list<CCTFCertContext> out;
    for (const CCTFCertContext& c : all) {
        CERT_TRUST_STATUS status{0, 0};
        if (!CTFVerifyCertificate(c, status)) continue;
        const DWORD e = status.dwErrorStatus;
        if (((filter & 0x2) && e == 0) || ((filter & 0x10) && (e & CERT_TRUST_IS_NOT_TIME_VALID)) ||
            ((filter & 0x20) && (e & CERT_TRUST_IS_REVOKED)) || ((filter & 0x80) && (e & CERT_TRUST_IS_PARTIAL_CHAIN)))
            out.push_back(c);
    }
    return out;
}
