// CCTFUser: finding the key of a certificate, proving a key pair, making
// keys, and the certificates stored with the container's keys.
#include <cstring>

#include "cert/asnkeys.h"
#include "cert/oid.h"
#include "cert/oids.h"
#include "keys/keys_internal.h"

using namespace cert::keys;

namespace {

constexpr const char* kPlaceGetUserKey = "CCTFUser::GetUserKey()";
// The place of "no key matches", as callers compare it (trailing blank).
constexpr const char* kPlaceNoMatch = "CCTFUser::GetUserKey ";
constexpr const char* kPlaceCheck = "CCTFUser";
constexpr const char* kPlaceCreate = "CCTFUser::CreateNewKeys";
constexpr const char* kPlacePut = "PutCertificate";
constexpr const char* kPlaceList = "GetCertificateList ";

// Ends the context's walk of containers when it goes out of scope, found or
// not, so that later key calls address its own container again.
class WalkEnd {
public:
    explicit WalkEnd(HCRYPTPROV prov) : m_prov(prov) {}
    ~WalkEnd() { EndEnumeration(m_prov); }
    WalkEnd(const WalkEnd&) = delete;
    WalkEnd& operator=(const WalkEnd&) = delete;

private:
    HCRYPTPROV m_prov;
};

// Our providers answer for their keys: each of the three GOST names, not
// only the first, or a 2012 login would take any key for any certificate.
bool IsGostProvider(HCRYPTPROV prov) {
    IdentObj name;
    if (!VRKGetProvParam(prov, PP_NAME, name, 0)) return false;
    const std::string n = ParamText(name);
    return n == VRK_PROV_GOST || n == VRK_PROV_GOST_2012_256 || n == VRK_PROV_GOST_2012_512;
}

CCTFCertPublicKeyInfo KeyOf(const CCTFCertContext& certificate) {
    return CCTFCertPublicKeyInfo(certificate.GetContext()->pCertInfo->SubjectPublicKeyInfo);
}

bool HoldsKey(HCRYPTPROV prov, HCRYPTKEY key, const CCTFCertPublicKeyInfo& want) {
    CCTFCertPublicKeyInfo have;
    return CTFExportPKInfo(prov, key, have) && have.m_publicKey == want.m_publicKey;
}

// The hash the key pair proof signs with, by the certificate's key.
ALG_ID ProofHash(const char* keyOid) {
    if (!keyOid) return CALG_GOST_R3411_94;
    if (std::strcmp(keyOid, cert::oids::kGostR3410_2012_512) == 0) return CALG_GOST_R3411_2012_512;
    if (std::strcmp(keyOid, cert::oids::kGostR3410_2012_256) == 0) return CALG_GOST_R3411_2012_256;
    // The provider signs with RSA keys over SHA hashes only.
    if (std::strcmp(keyOid, cert::oids::kRsa) == 0) return CALG_SHA_256;
    return CALG_GOST_R3411_94;
}

// The certificates stored with the keys of the container the context
// addresses now, each with its key-provider property. Null, or the step
// that failed (its last error set): the name, or a key that is there but
// cannot be opened.
const char* StoredCertificates(HCRYPTPROV prov, std::list<CCTFCertContext>& out) {
    IdentObj unique;
    if (!VRKGetProvParam(prov, PP_UNIQUE_CONTAINER, unique, 0)) return "VRKGetProvParam";
    for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
        VRKSCApi::CryptKey key;
        if (!VRKGetUserKey(prov, spec, &key)) {
            if (GetLastError() == NTE_NO_KEY) continue;
            return "VRKGetUserKey";
        }
        IdentObj der;
        if (!VRKGetKeyParam(key, KP_CERTIFICATE, der)) continue;
        CCTFCertContext certificate;
        if (!certificate.CreateContext(der)) continue;
        SetKeyProvider(certificate, ParamText(unique), spec);
        out.push_back(std::move(certificate));
    }
    return nullptr;
}

}  // namespace

HCRYPTKEY CCTFUser::GetUserKey(unsigned long keySpec, const CCTFCertContext* certificate, int* error,
                               CTOOString* place) const {
    return Reported(kPlaceGetUserKey, error, place, HCRYPTKEY(0), [&]() -> HCRYPTKEY {
        IPC::CWriteLocker hold(UserKeyLock());
        const HCRYPTPROV prov = GetProvider();
        if (!prov) Fail(TOOERR_BADFORMAT, kPlaceGetUserKey);
        if (!certificate || !certificate->IsInitialized()) {
            if (!m_keys.empty()) {
                if (m_cursor == m_keys.end()) m_cursor = m_keys.begin();
                return m_cursor->handle;
            }
            VRKSCApi::CryptKey key;
            if (!VRKGetUserKey(prov, static_cast<DWORD>(keySpec), &key)) FailLast(kPlaceGetUserKey);
            return Cache(key.Detach());
        }
        const CCTFCertPublicKeyInfo want = KeyOf(*certificate);
        if (!m_keys.empty()) {
            auto it = m_cursor == m_keys.end() ? m_keys.begin() : m_cursor;
            for (std::size_t n = 0; n < m_keys.size(); ++n) {
                if (it->publicBits.IsEmpty()) {
                    CCTFCertPublicKeyInfo have;
                    if (CTFExportPKInfo(prov, it->handle, have)) it->publicBits = have.m_publicKey;
                }
                if (!it->publicBits.IsEmpty() && it->publicBits == static_cast<const IdentObj&>(want.m_publicKey)) {
                    m_cursor = it;
                    return it->handle;
                }
                if (++it == m_keys.end()) it = m_keys.begin();
            }
        }
        const DWORD spec = certificate->GetPrivateKeyType();
        VRKSCApi::CryptKey key;
        if (!VRKGetUserKey(prov, spec, &key)) FailLast(kPlaceGetUserKey);
        // A provider of another maker is trusted with its own keys.
        if (!IsGostProvider(prov)) return Cache(key.Detach());
        CCTFCertPublicKeyInfo have;
        if (!CTFExportPKInfo(prov, key, have)) FailLast(kPlaceGetUserKey);
        if (have.m_publicKey == want.m_publicKey) return Cache(key.Detach(), have.m_publicKey);
        key.Destroy();
        WalkEnd end(prov);
        IdentObj name;
        for (DWORD flags = CRYPT_FIRST; VRKGetProvParam(prov, PP_ENUMCONTAINERS, name, flags); flags = 0) {
            VRKSCApi::CryptKey candidate;
            if (!VRKGetUserKey(prov, spec, &candidate)) continue;  // one that cannot be opened is passed over
            CCTFCertPublicKeyInfo found;
            if (CTFExportPKInfo(prov, candidate, found) && found.m_publicKey == want.m_publicKey)
                return Cache(candidate.Detach(), found.m_publicKey);
        }
        Fail(TOOERR_NOKEY_FOR_CERT, kPlaceNoMatch);
    });
}

int CCTFUser::CheckSignKeys(const CCTFCertContext& certificate, int* error, CTOOString* place) const {
    return Reported(kPlaceCheck, error, place, 0, [&]() -> int {
        if (!certificate.IsInitialized()) Fail(TOOERR_BADARG, kPlaceCheck);
        const CERT_PUBLIC_KEY_INFO& spki = certificate.GetContext()->pCertInfo->SubjectPublicKeyInfo;
        const ALG_ID hashAlg = ProofHash(spki.Algorithm.pszObjId);
        const HCRYPTPROV prov = GetProvider();
        if (!prov) Fail(TOOERR_BADFORMAT, kPlaceCheck);
        const DWORD spec = certificate.GetPrivateKeyType();
        int status = 0;
        CTOOString where;
        const HCRYPTKEY key = GetUserKey(spec, &certificate, &status, &where);
        if (!key) Fail(status, where);
        IdentObj challenge;
        challenge.Alloc(hashAlg < CALG_GOST_R3411_2012_512 ? 32 : 64);
        if (!VRKGenRandom(prov, challenge.size(), challenge.data())) FailLast("VRKGenRandom");
        VRKSCApi::CryptHash hash;
        if (!VRKCreateHash(prov, hashAlg, key, &hash, 0) || !VRKSetHashParam(hash, HP_HASHVAL, challenge))
            FailLast("VRKCreateHash");
        IdentObj signature;
        if (!VRKSignHash(hash, spec, 0, signature)) FailLast("VRKSignHash");
        VRKSCApi::CryptKey publicKey;
        if (!CTFIportPKInfo(prov, KeyOf(certificate), &publicKey)) FailLast("CTFIportPKInfo");
        if (!VRKVerifySignature(hash, signature, publicKey, 0)) Fail(TOOERR_KEYPAIR_CHECK, "VRKVerifySignature");
        return 1;
    });
}

int CCTFUser::CreateNewKeys(const CTOOString& algorithm, const CTOOString& parameterSet, int* error,
                            CTOOString* place) {
    return Reported(kPlaceCreate, error, place, 0, [&]() -> int {
        const HCRYPTPROV prov = GetProvider();
        if (!prov) Fail(TOOERR_BADFORMAT, kPlaceCreate);
        if (algorithm.str() == cert::oids::kGostR3410_2012_256)
            m_keyFlag = 0x1000000;
        else if (algorithm.str() == cert::oids::kGostR3410_2012_512)
            m_keyFlag = 0x2000000;
        else
            m_keyFlag = 0;
        unsigned algId = 0, extra = 0;
        if (algorithm.IsEmpty() ||
            !GetAlgIDFromOID(algorithm.c_str(), static_cast<unsigned long>(algorithm.str().size()), algId, extra))
            Fail(TOOERR_UNKNOWN_ALG, kPlaceCreate);
        const CTOOString& set = parameterSet.IsEmpty() ? algorithm : parameterSet;
        if (!VRKSetProvParam(prov, VRK_PP_SIGN_PARAMSET, set.c_str(), 0)) FailLast(kPlaceCreate);
        BYTE octet[8];
        if (int rc = vrkscapi::GetRandomByteOctet(octet, 0, nullptr)) Fail(rc, kPlaceCreate);
        VRKSCApi::CryptKey key;
        if (!VRKGenKey(prov, static_cast<ALG_ID>(algId), m_keyFlag, &key))
            Fail(GetLastError() ? WinErr2ToolsErr(GetLastError()) : TOOERR_EXCEPTION, kPlaceCreate);
        CCTFCertPublicKeyInfo made;
        if (!CTFExportPKInfo(prov, key, made)) FailLast(kPlaceCreate);
        m_publicKey = std::move(made);
        return 1;
    });
}

namespace {

// The exchange key's parameter set that goes with a signature set.
const char* ExchangeSetFor(const std::string& signatureSet) {
    if (signatureSet == "1.2.643.2.2.35.3") return "1.2.643.2.2.36.1";
    if (signatureSet == "1.2.643.2.2.35.2") return "1.2.643.2.2.35.2";
    for (const char* same :
         {"1.2.643.7.1.2.1.1.1", "1.2.643.7.1.2.1.1.2", "1.2.643.7.1.2.1.1.3", "1.2.643.7.1.2.1.1.4"})
        if (signatureSet == same) return same;
    return "1.2.643.2.2.36.0";
}

}  // namespace

int CCTFUser::CreateNewKeys(unsigned long exchange, const CTOOString& parameterSet, int* error, CTOOString* place) {
    return Reported(kPlaceCreate, error, place, 0, [&]() -> int {
        const HCRYPTPROV prov = GetProvider();
        if (!prov) Fail(TOOERR_BADFORMAT, kPlaceCreate);
        if (!parameterSet.IsEmpty() && !VRKSetProvParam(prov, VRK_PP_SIGN_PARAMSET, parameterSet.c_str(), 0))
            FailLast(kPlaceCreate);
        DWORD spec = AT_SIGNATURE;
        if (exchange & 1) {
            spec = AT_KEYEXCHANGE;
            if (!VRKSetProvParam(prov, VRK_PP_EXCHANGE_PARAMSET, ExchangeSetFor(parameterSet.str()), 0))
                FailLast(kPlaceCreate);
        }
        VRKSCApi::CryptKey key;
        if (!VRKGenKey(prov, spec, m_keyFlag, &key))
            Fail(GetLastError() ? WinErr2ToolsErr(GetLastError()) : TOOERR_EXCEPTION, kPlaceCreate);
        CCTFCertPublicKeyInfo made;
        if (!CTFExportPKInfo(prov, key, made)) FailLast(kPlaceCreate);
        m_publicKey = std::move(made);
        return 1;
    });
}

int CCTFUser::FindCertificate(CCTFCertContext& certificate) const {
    try {
        const HCRYPTPROV prov = GetProvider();
        if (!prov) return 0;
        IPC::CWriteLocker hold(UserKeyLock());
        IdentObj name;
        for (DWORD flags = certificate.IsInitialized() ? 0 : CRYPT_FIRST;
             VRKGetProvParam(prov, PP_ENUMCONTAINERS, name, flags); flags = 0) {
            std::list<CCTFCertContext> found;
            StoredCertificates(prov, found);
            if (!found.empty()) {
                certificate = found.front();
                return 1;
            }
        }
    } catch (...) {
        // the walk ends here as at its end
    }
    certificate.Reset();
    return 0;
}

int CCTFUser::GetCertificateList(std::list<CCTFCertContext>& certificates, int* error, CTOOString* place) const {
    certificates.clear();
    return Reported(kPlaceList, error, place, 0, [&]() -> int {
        int status = 0;
        const char* where = kPlaceList;
        {
            IPC::CWriteLocker hold(UserKeyLock());
            const HCRYPTPROV prov = GetProvider();
            if (!prov) Fail(TOOERR_BADFORMAT, "CCTFUser::GetCertificateList");
            WalkEnd end(prov);
            IdentObj name;
            for (DWORD flags = CRYPT_FIRST;; flags = 0) {
                if (!VRKGetProvParam(prov, PP_ENUMCONTAINERS, name, flags)) {
                    if (GetLastError() != ERROR_NO_MORE_ITEMS) {
                        status = CTFERR_NO_CONTAINER_INFO;
                        where = "VRKGetProvParam";
                    }
                    break;
                }
                if (const char* failed = StoredCertificates(prov, certificates)) {
                    status = CTFERR_NO_CONTAINER_INFO;
                    where = failed;
                    break;
                }
            }
        }
        if (!certificates.empty()) return 1;
        Fail(status ? status : TOOERR_NO_CERTIFICATE, where);
    });
}

int CCTFUser::PutCertificate(const CCTFCertContext& certificate, int* error, CTOOString* place) const {
    return Reported(kPlacePut, error, place, 0, [&]() -> int {
        if (!certificate.IsInitialized()) Fail(TOOERR_BADARG, kPlacePut);
        IPC::CWriteLocker hold(UserKeyLock());
        const HCRYPTPROV prov = GetProvider();
        if (!prov) Fail(TOOERR_BADFORMAT, kPlacePut);
        const CCTFCertPublicKeyInfo want = KeyOf(certificate);
        const IdentObj der = certificate.GetEncoded();
        const DWORD asked = certificate.GetPrivateKeyType();
        const DWORD order[2] = {asked == AT_KEYEXCHANGE ? AT_KEYEXCHANGE : AT_SIGNATURE,
                                asked == AT_KEYEXCHANGE ? AT_SIGNATURE : AT_KEYEXCHANGE};
        // A key that could not be opened says more than "no key matches".
        int firstFailure = 0;
        WalkEnd end(prov);
        IdentObj name;
        for (DWORD flags = CRYPT_FIRST; VRKGetProvParam(prov, PP_ENUMCONTAINERS, name, flags); flags = 0) {
            for (DWORD spec : order) {
                VRKSCApi::CryptKey key;
                if (!VRKGetUserKey(prov, spec, &key)) {
                    if (GetLastError() != NTE_NO_KEY && !firstFailure) firstFailure = LastStatus();
                    continue;
                }
                if (!HoldsKey(prov, key, want)) continue;
                if (!VRKSetKeyParam(key, KP_CERTIFICATE, der)) FailLast(kPlacePut);
                return 1;
            }
        }
        Fail(firstFailure ? firstFailure : TOOERR_NOKEY_FOR_CERT, kPlacePut);
    });
}
