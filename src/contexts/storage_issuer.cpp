// The issuer and CRL searches of CCTFCertStorage.
#include <openssl/sha.h>

#include <unordered_map>
#include <mutex>

#include "cert/frame.h"
#include "contexts/contexts_internal.h"

using namespace cert::contexts;

namespace {

// Signature verdicts remembered by the SHA-256 of the signed object's and
// the issuer's encodings: a chain build asks about one CRL many times, and
// verifying many certificates under one CA would otherwise check the CA's
// and the root's signatures again for every one of them. A collision-proof
// hash, because a remembered "good" must never answer for other bytes.
class SignatureMemo {
public:
    template <class Verify>
    bool Verified(const BYTE* der, DWORD size, PCCERT_CONTEXT issuer, Verify&& verify) {
        std::string key(2 * SHA256_DIGEST_LENGTH, '\0');
        SHA256(der, size, reinterpret_cast<unsigned char*>(key.data()));
        SHA256(issuer->pbCertEncoded, issuer->cbCertEncoded,
               reinterpret_cast<unsigned char*>(key.data()) + SHA256_DIGEST_LENGTH);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = known_.find(key);
            if (it != known_.end()) return it->second;
        }
        const bool ok = verify() == 1;
        std::lock_guard<std::mutex> lock(mutex_);
        // Bounded: a flood of distinct objects costs a fresh start, never
        // unbounded memory.
        if (known_.size() >= kLimit) known_.clear();
        known_.emplace(std::move(key), ok);
        return ok;
    }

private:
    static constexpr std::size_t kLimit = 16384;
    std::mutex mutex_;
    std::unordered_map<std::string, bool> known_;
};

SignatureMemo& Memo() {
    static SignatureMemo* memo = new SignatureMemo;
    return *memo;
}

// CRL verdicts by platform context and issuer: hashing a CRL of a million
// entries for every certificate checked would cost more than the check.
// Each entry holds a reference to its CRL, so no other CRL can take its
// address while the entry lives.
class CrlVerdicts {
public:
    bool Verified(PCCRL_CONTEXT crl, PCCERT_CONTEXT issuer) {
        std::string key(reinterpret_cast<const char*>(&crl), sizeof crl);
        key.resize(sizeof crl + SHA256_DIGEST_LENGTH);
        SHA256(issuer->pbCertEncoded, issuer->cbCertEncoded, reinterpret_cast<unsigned char*>(key.data()) + sizeof crl);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = known_.find(key);
            if (it != known_.end()) return it->second.ok;
        }
        int ok = VerifyGostSigned(crl->pbCrlEncoded, crl->cbCrlEncoded, issuer);
        if (ok < 0)
            ok = VerifyCrlWithOpenssl(crl->pbCrlEncoded, crl->cbCrlEncoded, issuer->pbCertEncoded,
                                      issuer->cbCertEncoded);
        std::lock_guard<std::mutex> lock(mutex_);
        if (known_.size() >= kLimit) {
            for (auto& [k, v] : known_) CertFreeCRLContext(v.held);
            known_.clear();
        }
        if (!known_.count(key)) known_.emplace(std::move(key), Verdict{ok == 1, CertDuplicateCRLContext(crl)});
        return ok == 1;
    }

private:
    struct Verdict {
        bool ok;
        PCCRL_CONTEXT held;
    };
    static constexpr std::size_t kLimit = 256;
    std::mutex mutex_;
    std::unordered_map<std::string, Verdict> known_;
};

bool CrlVerified(PCCRL_CONTEXT crl, PCCERT_CONTEXT issuer) {
    static CrlVerdicts* verdicts = new CrlVerdicts;
    return verdicts->Verified(crl, issuer);
}

// Issuer candidates of one name (and key identifier) tried per search. Real
// stores hold a handful; a store stuffed with thousands of look-alikes must
// not make one search verify thousands of signatures.
constexpr std::size_t kMaxIssuerCandidates = 32;

}  // namespace

bool cert::contexts::RememberedSignature(PCCERT_CONTEXT subject, PCCERT_CONTEXT issuer,
                                         int (*verify)(PCCERT_CONTEXT, PCCERT_CONTEXT)) {
    return Memo().Verified(subject->pbCertEncoded, subject->cbCertEncoded, issuer,
                           [&] { return verify(subject, issuer); });
}

namespace {

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
            if (!CrlVerified(c, issuer.GetContext())) continue;
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
                if (candidates.size() == kMaxIssuerCandidates) {
                    CertFreeCertificateContext(c);
                    break;
                }
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
