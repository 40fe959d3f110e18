// The OID registry of the crypto provider and the algorithm queries over it.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "cert/oid.h"

namespace {

// Public-key algorithm of each signature row (the row's extra word).
DWORD kSignGost2001[] = {CALG_GOST_R3410_2001};
DWORD kSignGost2012_256[] = {CALG_GOST_R3410_2012_256};
DWORD kSignGost2012_512[] = {CALG_GOST_R3410_2012_512};
DWORD kAgreeGost2001[] = {CALG_GOST_R3410_2001_DH};
DWORD kAgreeGost2012_256[] = {CALG_GOST_R3410_2012_256_DH};
DWORD kAgreeGost2012_512[] = {CALG_GOST_R3410_2012_512_DH};
DWORD kSignRsa[] = {CALG_RSA_SIGN};
DWORD kSignDss[] = {CALG_DSS_SIGN};

CRYPT_OID_INFO Row(const char* oid, const char16_t* name, DWORD group, ALG_ID alg, DWORD* extra = nullptr) {
    CRYPT_OID_INFO r{};
    r.cbSize = sizeof(CRYPT_OID_INFO);
    r.pszOID = oid;
    r.pwszName = name;
    r.dwGroupId = group;
    r.Algid = alg;
    if (extra) r.ExtraInfo = CRYPT_DATA_BLOB{sizeof(DWORD), reinterpret_cast<BYTE*>(extra)};
    return r;
}

// In search order: hashes, ciphers, public keys, signatures, so that an
// algorithm id that is both a hash and the hash of a signature finds the hash.
const std::vector<CRYPT_OID_INFO>& Rows() {
    static const std::vector<CRYPT_OID_INFO> rows = {
        Row("1.2.643.2.2.9", u"GOST R 34.11-94", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_GOST_R3411_94),
        Row("1.2.643.7.1.1.2.2", u"GOST R 34.11-2012 256", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_GOST_R3411_2012_256),
        Row("1.2.643.7.1.1.2.3", u"GOST R 34.11-2012 512", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_GOST_R3411_2012_512),
        Row("1.2.643.2.2.22", u"GOST 28147-89 MAC", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_GOST_28147_MAC),
        Row("1.3.6.1.4.1.40321.2.1.1.2", u"Telvar hash", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_VRK_HASH),
        Row("1.3.6.1.4.1.40321.2.1.1.3", u"Telvar MAC Z", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_VRK_MAC_Z),
        Row("1.3.6.1.4.1.40321.2.1.1.4", u"Telvar MAC A", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_VRK_MAC_A),
        Row("1.3.14.3.2.26", u"sha1", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_SHA1),
        Row("2.16.840.1.101.3.4.2.1", u"sha256", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_SHA_256),
        Row("1.2.840.113549.2.5", u"md5", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_MD5),

        Row("1.2.643.2.2.21", u"GOST 28147-89", CRYPT_ENCRYPT_ALG_OID_GROUP_ID, CALG_GOST_28147),
        Row("1.2.840.113549.3.7", u"3des", CRYPT_ENCRYPT_ALG_OID_GROUP_ID, CALG_3DES),

        Row("1.2.643.2.2.19", u"GOST R 34.10-2001", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_GOST_R3410_2001),
        Row("1.2.643.2.2.98", u"GOST R 34.10-2001 DH", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_GOST_R3410_2001_DH),
        Row("1.2.643.7.1.1.1.1", u"GOST R 34.10-2012 256", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_GOST_R3410_2012_256),
        Row("1.2.643.7.1.1.1.2", u"GOST R 34.10-2012 512", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_GOST_R3410_2012_512),
        Row("1.2.643.7.1.1.6.1", u"GOST R 34.10-2012 256 DH", CRYPT_PUBKEY_ALG_OID_GROUP_ID,
            CALG_GOST_R3410_2012_256_DH),
        Row("1.2.643.7.1.1.6.2", u"GOST R 34.10-2012 512 DH", CRYPT_PUBKEY_ALG_OID_GROUP_ID,
            CALG_GOST_R3410_2012_512_DH),
        Row("1.2.840.113549.1.1.1", u"RSA", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_RSA_KEYX),
        Row("1.2.840.10040.4.1", u"DSA", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_DSS_SIGN),

        Row("1.2.643.2.2.3", u"GOST R 34.11/34.10-2001", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_GOST_R3411_94,
            kSignGost2001),
        Row("1.2.643.7.1.1.3.2", u"GOST R 34.11/34.10-2012 256", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_GOST_R3411_2012_256,
            kSignGost2012_256),
        Row("1.2.643.7.1.1.3.3", u"GOST R 34.11/34.10-2012 512", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_GOST_R3411_2012_512,
            kSignGost2012_512),
        Row("1.2.840.113549.1.1.5", u"sha1RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_SHA1, kSignRsa),
        Row("1.2.840.113549.1.1.11", u"sha256RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_SHA_256, kSignRsa),
        Row("1.2.840.113549.1.1.4", u"md5RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_MD5, kSignRsa),
        Row("1.2.840.10040.4.3", u"sha1DSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_SHA1, kSignDss),
        // A key-agreement key signs under the OIDs of its family, so the
        // pair of hash and agreement algorithm finds them too; lookups by
        // OID or name find the rows above first.
        Row("1.2.643.2.2.3", u"GOST R 34.11/34.10-2001", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_GOST_R3411_94,
            kAgreeGost2001),
        Row("1.2.643.7.1.1.3.2", u"GOST R 34.11/34.10-2012 256", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_GOST_R3411_2012_256,
            kAgreeGost2012_256),
        Row("1.2.643.7.1.1.3.3", u"GOST R 34.11/34.10-2012 512", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_GOST_R3411_2012_512,
            kAgreeGost2012_512),
    };
    return rows;
}

DWORD ExtraWord(const CRYPT_OID_INFO& r) {
    if (r.ExtraInfo.cbData < sizeof(DWORD) || !r.ExtraInfo.pbData) return 0;
    DWORD v;
    std::memcpy(&v, r.ExtraInfo.pbData, sizeof v);
    return v;
}

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool SameName(const char16_t* a, const char16_t* b) {
    if (!a || !b) return false;
    for (; *a && *b; ++a, ++b)
        if (Fold(*a) != Fold(*b)) return false;
    return *a == *b;
}

std::mutex g_hooksMutex;
CertDll::CertHashHooks g_hooks;

}  // namespace

namespace vrkscapi::vrkcspexfun {

const std::vector<CRYPT_OID_INFO>& OIDInfoRows() try { return Rows(); } catch (...) {
    TOORethrowAsStatus("OIDInfoRows");
}

PCCRYPT_OID_INFO FindOIDInfo(DWORD keyType, const void* key, DWORD groupId) try {
    if (!key) return nullptr;
    for (const auto& r : Rows()) {
        if (groupId != 0 && r.dwGroupId != groupId) continue;
        switch (keyType) {
            case CRYPT_OID_INFO_OID_KEY:
                if (std::strcmp(r.pszOID, static_cast<const char*>(key)) == 0) return &r;
                break;
            case CRYPT_OID_INFO_NAME_KEY:
                if (SameName(r.pwszName, static_cast<const char16_t*>(key))) return &r;
                break;
            case CRYPT_OID_INFO_ALGID_KEY:
                if (r.Algid == *static_cast<const ALG_ID*>(key)) return &r;
                break;
            case CRYPT_OID_INFO_SIGN_KEY: {
                const ALG_ID* pair = static_cast<const ALG_ID*>(key);
                if (r.dwGroupId == CRYPT_SIGN_ALG_OID_GROUP_ID && r.Algid == pair[0] && ExtraWord(r) == pair[1])
                    return &r;
                break;
            }
            default:
                return nullptr;
        }
    }
    return nullptr;
} catch (...) {
    TOORethrowAsStatus("FindOIDInfo");
}

}  // namespace vrkscapi::vrkcspexfun

using vrkscapi::vrkcspexfun::FindOIDInfo;

int GetAlgIDFromOID(const void* oid, unsigned long oidLength, unsigned& algId, unsigned& extra) try {
    algId = 0;
    extra = 0;
    constexpr unsigned long kMaxOidText = 260;
    if (!oid || oidLength >= kMaxOidText) return 0;
    char text[kMaxOidText];
    std::memcpy(text, oid, oidLength);
    text[oidLength] = 0;
    PCCRYPT_OID_INFO r = FindOIDInfo(CRYPT_OID_INFO_OID_KEY, text, 0);
    if (!r) return 0;
    algId = r->Algid;
    extra = ExtraWord(*r);
    return 1;
} catch (...) {
    TOORethrowAsStatus("GetAlgIDFromOID");
}

int GetOIDFromAlgID(IdentObj& oid, unsigned algId, unsigned extra) try {
    PCCRYPT_OID_INFO r = nullptr;
    if (extra == 0xFFFF) {
        const ALG_ID key = algId;
        r = FindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &key, 0);
    } else {
        const ALG_ID key[2] = {algId, extra};
        r = FindOIDInfo(CRYPT_OID_INFO_SIGN_KEY, key, 0);
    }
    if (!r) {
        oid.Empty();
        return 0;
    }
    oid = r->pszOID;
    return 1;
} catch (...) {
    TOORethrowAsStatus("GetOIDFromAlgID");
}

CTOOString CTFGetNameForOID(const CTOOString& oid) try {
    PCCRYPT_OID_INFO r = FindOIDInfo(CRYPT_OID_INFO_OID_KEY, oid.c_str(), 0);
    std::string name;
    if (!r || !r->pwszName || !*r->pwszName || !TOOUtf16ToUtf8(r->pwszName, name)) return oid;
    return CTOOString(name);
} catch (...) {
    TOORethrowAsStatus("CTFGetNameForOID");
}

std::list<CTOOString> CTFGetSupportedSignOIDS(bool) try {
    return {"1.2.643.2.2.19", "1.2.643.7.1.1.1.1", "1.2.643.7.1.1.1.2"};
} catch (...) {
    TOORethrowAsStatus("CTFGetSupportedSignOIDS");
}

std::list<CTOOString> CTFGetSupportedDHOIDS() try { return {"1.2.643.2.2.98", "1.2.643.7.1.1.6.1"}; } catch (...) {
    TOORethrowAsStatus("CTFGetSupportedDHOIDS");
}

std::list<unsigned> CTFGetSupportedKeyTypes() try { return {2, 1}; } catch (...) {
    TOORethrowAsStatus("CTFGetSupportedKeyTypes");
}

std::list<CTOOString> CTFGetSupportedParams(const CTOOString& alg) try {
    if (alg == "1.2.643.2.2.19" || alg == "1.2.643.2.2.3" || alg == "1.2.643.7.1.1.1.1")
        return {"1.2.643.2.2.35.1",    "1.2.643.2.2.35.2",    "1.2.643.2.2.35.3",   "1.2.643.7.1.2.1.1.1",
                "1.2.643.7.1.2.1.1.2", "1.2.643.7.1.2.1.1.3", "1.2.643.7.1.2.1.1.4"};
    if (alg == "1.2.643.2.2.98") return {"1.2.643.2.2.36.0", "1.2.643.2.2.36.1"};
    if (alg == "1.2.643.7.1.1.1.2")
        return {"1.2.643.7.1.2.1.2.0", "1.2.643.7.1.2.1.2.1", "1.2.643.7.1.2.1.2.2", "1.2.643.7.1.2.1.2.3"};
    throw XTOOStatus(TOOERR_UNKNOWN_ALG, "CTFGetSupportedParams", 0);
} catch (...) {
    TOORethrowAsStatus("CTFGetSupportedParams");
}

unsigned long CTFGetPKLenghOID(const CTOOString& oid) {
    static const char* const k512[] = {
        "1.2.643.2.2.19",   "1.2.643.2.2.3",       "1.2.643.2.2.98",      "1.2.643.2.2.35.1",    "1.2.643.2.2.35.2",
        "1.2.643.2.2.35.3", "1.2.643.7.1.2.1.1.1", "1.2.643.7.1.2.1.1.2", "1.2.643.7.1.2.1.1.3", "1.2.643.7.1.2.1.1.4",
        "1.2.643.2.2.36.0", "1.2.643.2.2.36.1",    "1.2.643.7.1.1.3.2",   "1.2.643.7.1.1.1.1",   "1.2.643.7.1.1.6.1",
    };
    for (const char* o : k512)
        if (oid == o) return 512;
    return 1024;
}

std::list<CTOOString> CTFGetSupportedHashOIDS(const CCTFCertContext* cert) try {
    if (!cert) return {"1.2.643.2.2.9", "1.2.643.7.1.1.2.2"};
    CertDll::CertHashHooks hooks;
    {
        std::lock_guard<std::mutex> lock(g_hooksMutex);
        hooks = g_hooks;
    }
    const std::string key = hooks.publicKeyOid ? hooks.publicKeyOid(cert) : std::string();
    if (key == "1.2.643.2.2.19") return {"1.2.643.2.2.9", "1.2.643.7.1.1.2.2"};
    if (key == "1.2.643.7.1.1.1.1" || key == "1.2.643.7.1.1.6.1") return {"1.2.643.7.1.1.2.2"};
    if (key == "1.2.643.7.1.1.1.2" || key == "1.2.643.7.1.1.6.2") return {"1.2.643.7.1.1.2.3"};
    return hooks.providerHashOids ? hooks.providerHashOids(cert) : std::list<CTOOString>{};
} catch (...) {
    TOORethrowAsStatus("CTFGetSupportedHashOIDS");
}

namespace CertDll {

void SetCertHashHooks(const CertHashHooks& hooks) {
    std::lock_guard<std::mutex> lock(g_hooksMutex);
    g_hooks = hooks;
}

std::list<CTOOString> HashOidsOfAlgIds(const std::vector<ALG_ID>& algIds) try {
    std::list<CTOOString> out;
    for (ALG_ID a : algIds) {
        if (GET_ALG_CLASS(a) != ALG_CLASS_HASH) continue;
        IdentObj oid;
        if (GetOIDFromAlgID(oid, a, 0xFFFF)) out.emplace_back(std::string(oid.view()));
    }
    return out;
} catch (...) {
    return {};
}

}  // namespace CertDll
