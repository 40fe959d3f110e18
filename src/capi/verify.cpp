// Checks over contexts: signatures (GOST keys through the provider, the
// others through OpenSSL), validity times, CRLs of an issuer and the
// subject-against-issuer verification.
#include <chrono>
#include <cstring>
#include <memory>

#include "capi/context.h"
#include "capi/openssl_glue.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"

namespace cert::capi {

namespace {

// The hash a GOST key signs with, 0 for a key that is no GOST key.
ALG_ID GostHashFor(const char* keyOid) {
    if (!keyOid) return 0;
    if (std::strcmp(keyOid, cert::oids::kGostR3410_2001) == 0) return CALG_GOST_R3411_94;
    if (std::strcmp(keyOid, cert::oids::kGostR3410_2012_256) == 0) return CALG_GOST_R3411_2012_256;
    if (std::strcmp(keyOid, cert::oids::kGostR3410_2012_512) == 0) return CALG_GOST_R3411_2012_512;
    return 0;
}

// The signed structure's parts: to-be-signed bytes and the signature
// least significant byte first, as the provider takes it.
struct Signed {
    std::vector<BYTE> toBeSigned, signature;
};

Signed Split(const BYTE* p, std::size_t n) {
    Arena a;
    asn::Reader in(asn::View(p, n));
    DecodeSignedContent(in, a, 0);
    std::vector<std::byte> mem(a.Size() + alignof(std::max_align_t));
    void* at = mem.data();
    std::size_t room = mem.size();
    std::align(alignof(std::max_align_t), a.Size(), at, room);
    a.CopyTo(at);
    const auto& info = *static_cast<const CERT_SIGNED_CONTENT_INFO*>(at);
    Signed s;
    s.toBeSigned.assign(info.ToBeSigned.pbData, info.ToBeSigned.pbData + info.ToBeSigned.cbData);
    s.signature.assign(info.Signature.pbData, info.Signature.pbData + info.Signature.cbData);
    return s;
}

bool GostVerifies(const BYTE* p, std::size_t n, const CERT_PUBLIC_KEY_INFO& key, ALG_ID hashAlg) {
    Signed s = Split(p, n);
    VRKSCApi::CryptProvider prov;
    VRKSCApi::CryptKey pub;
    VRKSCApi::CryptHash hash;
    return VRKAcquireContext(&prov, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT) &&
           VRKImportPKInfo(prov, &key, &pub) && VRKCreateHash(prov, hashAlg, 0, &hash) &&
           VRKHashData(hash, s.toBeSigned.data(), static_cast<DWORD>(s.toBeSigned.size())) &&
           VRKVerifySignature(hash, IdentObj(s.signature.data(), static_cast<DWORD>(s.signature.size())), pub, 0);
}

void CheckFlags(DWORD flags, DWORD allowed) {
    if (flags & ~allowed) Throw(E_INVALIDARG);
}

// The CRL of `issuer` in its store that counts: issued under the issuer's
// name and key id, signed by the issuer, the latest ThisUpdate. Null when
// the issuer is in no store or the store has none.
CrlContext* CurrentCrl(const CERT_CONTEXT& issuer) {
    HCERTSTORE s = issuer.hCertStore;
    if (!s) return nullptr;
    const std::string keyId = KeyId(*issuer.pCertInfo);
    CrlContext* best = nullptr;
    PCCRL_CONTEXT c = nullptr;
    DWORD flags = 0;
    while ((c = CertGetCRLFromStore(s, &issuer, c, &flags)) != nullptr) {
        CrlContext* crl = Of(c);
        const CRL_INFO& info = *c->pCrlInfo;
        const std::string aki = AuthorityKeyId(info.cExtension, info.rgExtension);
        if ((aki.empty() || aki == keyId) && CrlSignatureVerifies(*crl, issuer) &&
            (!best || Ticks(info.ThisUpdate) > Ticks(best->pub.pCrlInfo->ThisUpdate))) {
            if (best) Release(best);
            best = AddRef(crl);
        }
        flags = 0;
    }
    return best;
}

bool Listed(const CRL_INFO& crl, const CRYPT_INTEGER_BLOB& serial) {
    for (DWORD i = 0; i < crl.cCRLEntry; ++i) {
        const CRYPT_INTEGER_BLOB& s = crl.rgCRLEntry[i].SerialNumber;
        if (s.cbData == serial.cbData && std::memcmp(s.pbData, serial.pbData, s.cbData) == 0) return true;
    }
    return false;
}

}  // namespace

FILETIME Now() {
    // 100 ns ticks from 1601 to 1970.
    constexpr ULONGLONG kEpoch = 116444736000000000ULL;
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const ULONGLONG t =
        kEpoch + static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::microseconds>(since).count()) * 10;
    return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

bool SignatureVerifies(const BYTE* p, std::size_t n, bool isCrl, const CERT_CONTEXT& issuer) {
    const CERT_PUBLIC_KEY_INFO& key = issuer.pCertInfo->SubjectPublicKeyInfo;
    try {
        if (ALG_ID hash = GostHashFor(key.Algorithm.pszObjId)) return GostVerifies(p, n, key, hash);
        return ossl::Verifies(issuer.pbCertEncoded, issuer.cbCertEncoded, p, n, isCrl);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        return false;  // a signed structure that does not even decode does not verify
    }
}

bool CrlSignatureVerifies(CrlContext& crl, const CERT_CONTEXT& issuer) {
    const std::string who(Of(&issuer)->Sha1());
    {
        std::lock_guard<std::mutex> hold(crl.core.lock);
        for (const auto& [sha1, good] : crl.core.verifiedBy)
            if (sha1 == who) return good;
    }
    const bool good = SignatureVerifies(crl.pub.pbCrlEncoded, crl.pub.cbCrlEncoded, true, issuer);
    std::lock_guard<std::mutex> hold(crl.core.lock);
    crl.core.verifiedBy.emplace_back(who, good);
    return good;
}

}  // namespace cert::capi

using namespace cert::capi;

LONG CertVerifyCRLTimeValidity(const FILETIME* pTimeToVerify, const CRL_INFO* pCrlInfo) {
    if (!pCrlInfo) return 0;
    const ULONGLONG at = Ticks(pTimeToVerify ? *pTimeToVerify : Now());
    if (at < Ticks(pCrlInfo->ThisUpdate)) return -1;
    const ULONGLONG next = Ticks(pCrlInfo->NextUpdate);
    return next && at > next ? 1 : 0;
}

BOOL CertCompareCertificateName(DWORD, const CERT_NAME_BLOB* pCertName1, const CERT_NAME_BLOB* pCertName2) {
    if (!pCertName1 || !pCertName2) return FALSE;
    return pCertName1->cbData == pCertName2->cbData &&
           (pCertName1->cbData == 0 || std::memcmp(pCertName1->pbData, pCertName2->pbData, pCertName1->cbData) == 0);
}

PCCRL_CONTEXT CertGetCRLFromStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pIssuerContext, PCCRL_CONTEXT pPrevCrlContext,
                                  DWORD* pdwFlags) {
    return GuardPtr<const CRL_CONTEXT>([&]() -> PCCRL_CONTEXT {
        if (!pdwFlags) {
            if (pPrevCrlContext) Release(Of(pPrevCrlContext));
            Throw(E_INVALIDARG);
        }
        const DWORD asked = *pdwFlags;
        if (asked & ~(CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG)) {
            if (pPrevCrlContext) Release(Of(pPrevCrlContext));
            Throw(E_INVALIDARG);
        }
        PCCRL_CONTEXT c =
            NextCrl(hCertStore, pIssuerContext ? &pIssuerContext->pCertInfo->Subject : nullptr, pPrevCrlContext);
        DWORD flags = asked;
        if ((flags & CERT_STORE_SIGNATURE_FLAG) && pIssuerContext && CrlSignatureVerifies(*Of(c), *pIssuerContext))
            flags &= ~CERT_STORE_SIGNATURE_FLAG;
        if ((flags & CERT_STORE_TIME_VALIDITY_FLAG) && CertVerifyCRLTimeValidity(nullptr, c->pCrlInfo) == 0)
            flags &= ~CERT_STORE_TIME_VALIDITY_FLAG;
        *pdwFlags = flags;
        return c;
    });
}

BOOL CertVerifySubjectCertificateContext(PCCERT_CONTEXT pSubject, PCCERT_CONTEXT pIssuer, DWORD* pdwFlags) {
    return Guard(false, [&] {
        if (!pSubject || !pdwFlags) Throw(E_INVALIDARG);
        DWORD flags = *pdwFlags;
        CheckFlags(flags, CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG | CERT_STORE_REVOCATION_FLAG |
                              CERT_STORE_NO_CRL_FLAG | CERT_STORE_NO_ISSUER_FLAG);
        if ((flags & (CERT_STORE_SIGNATURE_FLAG | CERT_STORE_REVOCATION_FLAG)) && !pIssuer) Throw(E_INVALIDARG);
        if ((flags & CERT_STORE_SIGNATURE_FLAG) &&
            SignatureVerifies(pSubject->pbCertEncoded, pSubject->cbCertEncoded, false, *pIssuer))
            flags &= ~CERT_STORE_SIGNATURE_FLAG;
        if (flags & CERT_STORE_TIME_VALIDITY_FLAG) {
            const ULONGLONG now = Ticks(Now());
            if (now >= Ticks(pSubject->pCertInfo->NotBefore) && now <= Ticks(pSubject->pCertInfo->NotAfter))
                flags &= ~CERT_STORE_TIME_VALIDITY_FLAG;
        }
        if (flags & CERT_STORE_REVOCATION_FLAG) {
            flags &= ~CERT_STORE_NO_CRL_FLAG;
            CrlContext* crl = CurrentCrl(*pIssuer);
            if (!crl) {
                flags = (flags & ~CERT_STORE_REVOCATION_FLAG) | CERT_STORE_NO_CRL_FLAG;
            } else {
                if (!Listed(*crl->pub.pCrlInfo, pSubject->pCertInfo->SerialNumber))
                    flags &= ~CERT_STORE_REVOCATION_FLAG;
                Release(crl);
            }
        }
        *pdwFlags = flags;
    });
}

PCCERT_CONTEXT CertGetIssuerCertificateFromStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pSubjectContext,
                                                 PCCERT_CONTEXT pPrevIssuerContext, DWORD* pdwFlags) {
    return GuardPtr<const CERT_CONTEXT>([&]() -> PCCERT_CONTEXT {
        if (!pSubjectContext || !pdwFlags) {
            if (pPrevIssuerContext) Release(Of(pPrevIssuerContext));
            Throw(E_INVALIDARG);
        }
        const CERT_INFO& subject = *pSubjectContext->pCertInfo;
        if (CertCompareCertificateName(CAPI_ENCODING, &subject.Subject, &subject.Issuer)) {
            if (pPrevIssuerContext) Release(Of(pPrevIssuerContext));
            Throw(CRYPT_E_SELF_SIGNED);
        }
        PCCERT_CONTEXT issuer = CertFindCertificateInStore(hCertStore, CAPI_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                                           &subject.Issuer, pPrevIssuerContext);
        if (!issuer) Throw(GetLastError());
        if (!CertVerifySubjectCertificateContext(pSubjectContext, issuer, pdwFlags)) {
            const DWORD e = GetLastError();
            Release(Of(issuer));
            Throw(e);
        }
        return issuer;
    });
}
