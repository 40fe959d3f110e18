// The issuer and CRL searches of CCTFCertStorage.
#include <openssl/sha.h>

#include <map>
#include <mutex>

#include "cert/frame.h"
#include "contexts/contexts_internal.h"

using namespace cert::contexts;

namespace {

// Whether a CRL's signature verifies with an issuer's key, remembered by the
// SHA-1 of both encodings: a chain build asks about one CRL many times.
class SignatureMemo {
public:
    bool Verified(PCCRL_CONTEXT crl, PCCERT_CONTEXT issuer) {
        std::string key(2 * SHA_DIGEST_LENGTH, '\0');
        SHA1(crl->pbCrlEncoded, crl->cbCrlEncoded, reinterpret_cast<unsigned char*>(key.data()));
        SHA1(issuer->pbCertEncoded, issuer->cbCertEncoded,
             reinterpret_cast<unsigned char*>(key.data()) + SHA_DIGEST_LENGTH);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = known_.find(key);
            if (it != known_.end()) return it->second;
        }
        int ok = VerifyGostSigned(crl->pbCrlEncoded, crl->cbCrlEncoded, issuer);
        if (ok < 0)
            ok = VerifyCrlWithOpenssl(crl->pbCrlEncoded, crl->cbCrlEncoded, issuer->pbCertEncoded,
                                      issuer->cbCertEncoded);
        std::lock_guard<std::mutex> lock(mutex_);
        if (known_.size() >= kLimit) known_.clear();
        known_.emplace(key, ok == 1);
        return ok == 1;
    }

private:
    static constexpr std::size_t kLimit = 4096;
    std::mutex mutex_;
    std::map<std::string, bool> known_;
};

SignatureMemo& Memo() {
    static SignatureMemo* memo = new SignatureMemo;
    return *memo;
}

ULONGLONG ThisUpdate(PCCRL_CONTEXT c) { return CTOOFileTime(c->pCrlInfo->ThisUpdate).Ticks(); }

}  // namespace

int CCTFCertStorage::GetCrlFromStorage(const CCTFCertContext& issuer, CCTFCRLContext& crl) const {
    return Answer(0, [&] {
        if (!m_store || !issuer.IsInitialized()) return 0;
        const IdentObj keyId = issuer.GetSubjectKeyId();
        Log("Searching (via CertGetCRLFromStore) CRL for issuer UID: " + TOOBin2HexStr(keyId.data(), keyId.size()), 1);
        IPC::CReadLocker lock(CertDll::StorageLock());
        CCTFCRLContext best;
        PCCRL_CONTEXT c = nullptr;
        for (;;) {
            DWORD flags = 0;
            c = CertGetCRLFromStore(m_store, issuer.GetContext(), c, &flags);
            if (!c) break;
            // A CRL names its issuer's key when it can; one that names
            // another key is another issuer's, whatever its name says.
            const CCTFCRLContext candidate(c);
            const IdentObj crlKeyId = candidate.GetIssuerKeyId();
            if (!crlKeyId.IsEmpty() && crlKeyId != keyId) continue;
            if (best.IsInitialized() && ThisUpdate(c) <= ThisUpdate(best.GetContext())) continue;
            // Only a CRL the issuer signed counts: a forged newer one would
            // otherwise hide a revocation.
            if (!Memo().Verified(c, issuer.GetContext())) continue;
            best = candidate;
        }
        if (!best.IsInitialized()) return 0;
        std::string name;
        try {
            CCTFX509Name(best.GetContext()->pCrlInfo->Issuer).GetX500String(name, 0);
        } catch (const XTOOStatus&) {
        }
        Log("CRL has been found, CRL issuer: " + name, 1);
        crl = best;
        return 1;
    });
}

int CCTFCertStorage::FindIssuerCertificate(const CCTFCertContext& subject, CCTFCertContext& issuer,
                                           unsigned long* flags, CCTFCRLContext* crl) const {
    return Answer(0, [&] {
        unsigned long dummy = 0;
        if (!flags) flags = &dummy;
        if (!m_store || !subject.IsInitialized()) {
            *flags |= CTF_CHECK_NO_ISSUER;
            return 0;
        }
        DWORD requested = *flags & (CTF_CHECK_SIGNATURE | CTF_CHECK_TIME | CTF_CHECK_REVOCATION);
        if (!requested) requested = CTF_CHECK_SIGNATURE | CTF_CHECK_TIME | CTF_CHECK_REVOCATION;
        IdentObj authorityKeyId;
        subject.GetIssuerKeyID(authorityKeyId);

        std::list<CCTFCertContext> candidates;
        {
            IPC::CReadLocker lock(CertDll::StorageLock());
            const CERT_NAME_BLOB name = subject.GetContext()->pCertInfo->Issuer;
            for (PCCERT_CONTEXT c =
                     CertFindCertificateInStore(m_store, CAPI_ENCODING, 0, CERT_FIND_SUBJECT_NAME, &name, nullptr);
                 c; c = CertFindCertificateInStore(m_store, CAPI_ENCODING, 0, CERT_FIND_SUBJECT_NAME, &name, c)) {
                CCTFCertContext candidate(c);
                if (!authorityKeyId.IsEmpty() && candidate.GetSubjectKeyId() != authorityKeyId) continue;
                candidate.SetStorageType(m_type);
                candidates.push_back(std::move(candidate));
            }
        }

        bool haveResult = false;
        DWORD resultFlags = 0;
        CCTFCertContext resultIssuer;
        CCTFCRLContext resultCrl;
        for (const CCTFCertContext& candidate : candidates) {
            DWORD left = requested, extra = 0;
            CCTFCRLContext found;
            if ((left & CTF_CHECK_SIGNATURE) && subject.IsValidSignature(candidate)) left &= ~CTF_CHECK_SIGNATURE;
            if ((left & CTF_CHECK_TIME) && subject.IsValidTime()) left &= ~CTF_CHECK_TIME;
            if (left & CTF_CHECK_REVOCATION) {
                if (!GetCrlFromStorage(candidate, found)) {
                    left &= ~CTF_CHECK_REVOCATION;
                    extra |= CTF_CHECK_NO_CRL;
                } else if (!subject.IsRevoked(found)) {
                    left &= ~CTF_CHECK_REVOCATION;
                }
            }
            // The first candidate that passes wins; else the first one met.
            if (!haveResult || left == 0) {
                haveResult = true;
                resultFlags = left | extra;
                resultIssuer = candidate;
                resultCrl = found;
            }
            if (left == 0) break;
        }
        if (!haveResult) {
            *flags |= CTF_CHECK_NO_ISSUER;
            return 0;
        }
        if (resultIssuer == subject && m_status != 0) resultFlags |= CTF_CHECK_UNTRUSTED_ROOT;
        *flags = resultFlags;
        issuer = resultIssuer;
        if (crl) *crl = resultCrl;
        return 1;
    });
}
