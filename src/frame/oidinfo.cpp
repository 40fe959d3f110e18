// The OID registry of the crypto provider and the algorithm queries over it.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "cert/oid.h"
#include "cert/oids.h"

using namespace cert::oids;

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
// The name-only groups after them (algorithm id 0) let a dotted OID be shown
// by name wherever the library or the tool prints one.
const std::vector<CRYPT_OID_INFO>& Rows() {
    static const std::vector<CRYPT_OID_INFO> rows = {
        Row(kGostR3411_94, u"GOST R 34.11-94", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_GOST_R3411_94),
        Row(kGostR3411_2012_256, u"GOST R 34.11-2012 256", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_GOST_R3411_2012_256),
        Row(kGostR3411_2012_512, u"GOST R 34.11-2012 512", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_GOST_R3411_2012_512),
        Row(kGost28147Mac, u"GOST 28147-89 MAC", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_GOST_28147_MAC),
        Row(kProductHash, u"Telvar hash", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_VRK_HASH),
        Row(kProductMacZ, u"Telvar MAC Z", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_VRK_MAC_Z),
        Row(kProductMacA, u"Telvar MAC A", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_VRK_MAC_A),
        Row(kSha1, u"sha1", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_SHA1),
        Row(kSha256, u"sha256", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_SHA_256),
        Row(kMd5, u"md5", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_MD5),

        Row(kGost28147, u"GOST 28147-89", CRYPT_ENCRYPT_ALG_OID_GROUP_ID, CALG_GOST_28147),
        Row(kTripleDes, u"3des", CRYPT_ENCRYPT_ALG_OID_GROUP_ID, CALG_3DES),

        Row(kGostR3410_2001, u"GOST R 34.10-2001", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_GOST_R3410_2001),
        Row(kGostR3410_2001DH, u"GOST R 34.10-2001 DH", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_GOST_R3410_2001_DH),
        Row(kGostR3410_2012_256, u"GOST R 34.10-2012 256", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_GOST_R3410_2012_256),
        Row(kGostR3410_2012_512, u"GOST R 34.10-2012 512", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_GOST_R3410_2012_512),
        Row(kGostR3410_2012_256DH, u"GOST R 34.10-2012 256 DH", CRYPT_PUBKEY_ALG_OID_GROUP_ID,
            CALG_GOST_R3410_2012_256_DH),
        Row(kGostR3410_2012_512DH, u"GOST R 34.10-2012 512 DH", CRYPT_PUBKEY_ALG_OID_GROUP_ID,
            CALG_GOST_R3410_2012_512_DH),
        Row(kRsa, u"RSA", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_RSA_KEYX),
        Row(kDsa, u"DSA", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_DSS_SIGN),

        Row(kGostR3411_94WithR3410_2001, u"GOST R 34.11/34.10-2001", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_GOST_R3411_94,
            kSignGost2001),
        Row(kGostR3410_2012_256WithR3411, u"GOST R 34.11/34.10-2012 256", CRYPT_SIGN_ALG_OID_GROUP_ID,
            CALG_GOST_R3411_2012_256, kSignGost2012_256),
        Row(kGostR3410_2012_512WithR3411, u"GOST R 34.11/34.10-2012 512", CRYPT_SIGN_ALG_OID_GROUP_ID,
            CALG_GOST_R3411_2012_512, kSignGost2012_512),
        Row(kSha1WithRsa, u"sha1RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_SHA1, kSignRsa),
        Row(kSha256WithRsa, u"sha256RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_SHA_256, kSignRsa),
        Row(kMd5WithRsa, u"md5RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_MD5, kSignRsa),
        Row(kSha1WithDsa, u"sha1DSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_SHA1, kSignDss),
        // A key-agreement key signs under the OIDs of its family, so the
        // pair of hash and agreement algorithm finds them too; lookups by
        // OID or name find the rows above first.
        Row(kGostR3411_94WithR3410_2001, u"GOST R 34.11/34.10-2001", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_GOST_R3411_94,
            kAgreeGost2001),
        Row(kGostR3410_2012_256WithR3411, u"GOST R 34.11/34.10-2012 256", CRYPT_SIGN_ALG_OID_GROUP_ID,
            CALG_GOST_R3411_2012_256, kAgreeGost2012_256),
        Row(kGostR3410_2012_512WithR3411, u"GOST R 34.11/34.10-2012 512", CRYPT_SIGN_ALG_OID_GROUP_ID,
            CALG_GOST_R3411_2012_512, kAgreeGost2012_512),

        // Algorithms the library names but does not run.
        Row(kSha384, u"sha384", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSha512, u"sha512", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kRsaPss, u"rsassaPss", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSha384WithRsa, u"sha384RSA", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSha512WithRsa, u"sha512RSA", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kEcPublicKey, u"ecPublicKey", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kPrime256v1, u"prime256v1", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSecp384r1, u"secp384r1", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kEcdsaWithSha256, u"ecdsa-with-SHA256", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kEcdsaWithSha384, u"ecdsa-with-SHA384", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kPbes2, u"PBES2", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kPbkdf2, u"PBKDF2", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kHash94ParamSet, u"GOST R 34.11-94 parameters", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kCipherParamSetA, u"GOST 28147-89 parameter set A", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kCipherParamSetB, u"GOST 28147-89 parameter set B", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kCipherParamSetC, u"GOST 28147-89 parameter set C", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kCipherParamSetD, u"GOST 28147-89 parameter set D", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kCipherParamSetZ, u"GOST 28147-89 parameter set Z", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSign2001ParamSetTest, u"GOST R 34.10-2001 test parameters", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSign2001ParamSetA, u"GOST R 34.10-2001 parameter set A", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSign2001ParamSetB, u"GOST R 34.10-2001 parameter set B", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSign2001ParamSetC, u"GOST R 34.10-2001 parameter set C", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kExchange2001ParamSetA, u"GOST R 34.10-2001 exchange parameter set A", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kExchange2001ParamSetB, u"GOST R 34.10-2001 exchange parameter set B", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSign2012_256ParamSetA, u"GOST R 34.10-2012 256-bit parameters A", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSign2012_256ParamSetB, u"GOST R 34.10-2012 256-bit parameters B", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSign2012_256ParamSetC, u"GOST R 34.10-2012 256-bit parameters C", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSign2012_256ParamSetD, u"GOST R 34.10-2012 256-bit parameters D", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSign2012_512ParamSetTest, u"GOST R 34.10-2012 512-bit test parameters", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSign2012_512ParamSetA, u"GOST R 34.10-2012 512-bit parameters A", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSign2012_512ParamSetB, u"GOST R 34.10-2012 512-bit parameters B", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSign2012_512ParamSetC, u"GOST R 34.10-2012 512-bit parameters C", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kData, u"data", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kSignedData, u"signedData", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kEnvelopedData, u"envelopedData", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kEncryptedData, u"encryptedData", VRK_NAME_ONLY_OID_GROUP_ID, 0),
        Row(kTrustListContent, u"Telvar trust list", VRK_NAME_ONLY_OID_GROUP_ID, 0),

        // Name attributes, named by the keywords of the library's text form
        // of names: a name written with these keys parses back to the same
        // attribute types.
        Row(kCommonName, u"CN", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kSurname, u"SN", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kSerialNumber, u"SERIALNUMBER", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kCountryName, u"C", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kLocalityName, u"L", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kStateOrProvinceName, u"S", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kStreetAddress, u"STREET", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kOrganizationName, u"O", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kOrganizationalUnitName, u"OU", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kTitle, u"T", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kDescription, u"DESCRIPTION", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kPostalAddress, u"POSTALADDRESS", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kPostalCode, u"POSTALCODE", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kPostOfficeBox, u"POBOX", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kTelephoneNumber, u"PHONE", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kX121Address, u"X21ADDRESS", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kGivenName, u"G", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kInitials, u"I", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kDnQualifier, u"DNQUALIFIER", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kPseudonym, u"PSEUDONYM", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kDomainComponent, u"DC", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kEmailAddress, u"E", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        // Also a request attribute; one row names it for both uses.
        Row(kUnstructuredName, u"UNSTRUCTUREDNAME", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kUnstructuredAddress, u"UNSTRUCTUREDADDRESS", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kDepartment, u"DEPARTMENT", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kInn, u"INN", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kOgrn, u"OGRN", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kSnils, u"SNILS", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kInnLe, u"INNLE", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kOgrnip, u"OGRNIP", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kFssRegistrationNumber, u"REGISTRATION NUMBER FSS", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),
        Row(kFssDivisionCode, u"CODE DIVISION FSS", CRYPT_RDN_ATTR_OID_GROUP_ID, 0),

        Row(kSubjectDirectoryAttributes, u"subjectDirectoryAttributes", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kSubjectKeyIdentifier, u"subjectKeyIdentifier", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kKeyUsage, u"keyUsage", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kPrivateKeyUsagePeriod, u"privateKeyUsagePeriod", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kSubjectAltName, u"subjectAltName", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kIssuerAltName, u"issuerAltName", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kBasicConstraints, u"basicConstraints", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kCrlNumber, u"cRLNumber", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kCrlReason, u"cRLReason", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kDeltaCrlIndicator, u"deltaCRLIndicator", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kIssuingDistributionPoint, u"issuingDistributionPoint", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kCrlDistributionPoints, u"cRLDistributionPoints", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kCertificatePolicies, u"certificatePolicies", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kPolicyMappings, u"policyMappings", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kAuthorityKeyIdentifier, u"authorityKeyIdentifier", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kPolicyConstraints, u"policyConstraints", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kExtKeyUsage, u"extKeyUsage", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kFreshestCrl, u"freshestCRL", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kAuthorityInfoAccess, u"authorityInfoAccess", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kAuthorityKeyIdentifierOld, u"authorityKeyIdentifier (obsolete)", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kBasicConstraintsOld, u"basicConstraints (obsolete)", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kSubjectSignTool, u"subjectSignTool", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kIssuerSignTool, u"issuerSignTool", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kContentType, u"contentType", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kMessageDigest, u"messageDigest", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kSigningTime, u"signingTime", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kExtensionRequest, u"extensionRequest", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kSmimeCapabilities, u"smimeCapabilities", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kSigningCertificateV2, u"signingCertificateV2", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),
        Row(kUserPrincipalName, u"userPrincipalName", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0),

        Row(kServerAuth, u"serverAuth", CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0),
        Row(kClientAuth, u"clientAuth", CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0),
        Row(kCodeSigning, u"codeSigning", CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0),
        Row(kEmailProtection, u"emailProtection", CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0),
        Row(kTimeStamping, u"timeStamping", CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0),
        Row(kOcsp, u"ocsp", CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0),
        Row(kCaIssuers, u"caIssuers", CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0),
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
                if (r.Algid != 0 && r.Algid == *static_cast<const ALG_ID*>(key)) return &r;
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
    if (!r || r->Algid == 0) return 0;
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
    return {kGostR3410_2001, kGostR3410_2012_256, kGostR3410_2012_512};
} catch (...) {
    TOORethrowAsStatus("CTFGetSupportedSignOIDS");
}

std::list<CTOOString> CTFGetSupportedDHOIDS() try { return {kGostR3410_2001DH, kGostR3410_2012_256DH}; } catch (...) {
    TOORethrowAsStatus("CTFGetSupportedDHOIDS");
}

std::list<unsigned> CTFGetSupportedKeyTypes() try { return {2, 1}; } catch (...) {
    TOORethrowAsStatus("CTFGetSupportedKeyTypes");
}

std::list<CTOOString> CTFGetSupportedParams(const CTOOString& alg) try {
    if (alg == kGostR3410_2001 || alg == kGostR3411_94WithR3410_2001 || alg == kGostR3410_2012_256)
        return {kSign2001ParamSetA,     kSign2001ParamSetB,     kSign2001ParamSetC,    kSign2012_256ParamSetA,
                kSign2012_256ParamSetB, kSign2012_256ParamSetC, kSign2012_256ParamSetD};
    if (alg == kGostR3410_2001DH) return {kExchange2001ParamSetA, kExchange2001ParamSetB};
    if (alg == kGostR3410_2012_512)
        return {kSign2012_512ParamSetTest, kSign2012_512ParamSetA, kSign2012_512ParamSetB, kSign2012_512ParamSetC};
    throw XTOOStatus(TOOERR_UNKNOWN_ALG, "CTFGetSupportedParams", 0);
} catch (...) {
    TOORethrowAsStatus("CTFGetSupportedParams");
}

unsigned long CTFGetPKLenghOID(const CTOOString& oid) {
    static const char* const k512[] = {
        kGostR3410_2001,
        kGostR3411_94WithR3410_2001,
        kGostR3410_2001DH,
        kSign2001ParamSetA,
        kSign2001ParamSetB,
        kSign2001ParamSetC,
        kSign2012_256ParamSetA,
        kSign2012_256ParamSetB,
        kSign2012_256ParamSetC,
        kSign2012_256ParamSetD,
        kExchange2001ParamSetA,
        kExchange2001ParamSetB,
        kGostR3410_2012_256WithR3411,
        kGostR3410_2012_256,
        kGostR3410_2012_256DH,
    };
    for (const char* o : k512)
        if (oid == o) return 512;
    return 1024;
}

std::list<CTOOString> CTFGetSupportedHashOIDS(const CCTFCertContext* cert) try {
    if (!cert) return {kGostR3411_94, kGostR3411_2012_256};
    CertDll::CertHashHooks hooks;
    {
        std::lock_guard<std::mutex> lock(g_hooksMutex);
        hooks = g_hooks;
    }
    const std::string key = hooks.publicKeyOid ? hooks.publicKeyOid(cert) : std::string();
    if (key == kGostR3410_2001) return {kGostR3411_94, kGostR3411_2012_256};
    if (key == kGostR3410_2012_256 || key == kGostR3410_2012_256DH) return {kGostR3411_2012_256};
    if (key == kGostR3410_2012_512 || key == kGostR3410_2012_512DH) return {kGostR3411_2012_512};
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
