// The OID registry of the crypto provider and the algorithm queries over it.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "cert/export.h"
#include "cert/algid.h"
#include "cert/platform.h"
#include "cert/tools.h"

class CCTFCertContext;

// Key types of FindOIDInfo.
constexpr DWORD CRYPT_OID_INFO_OID_KEY = 1;    // const char* dotted OID
constexpr DWORD CRYPT_OID_INFO_NAME_KEY = 2;   // const char16_t* name (no case)
constexpr DWORD CRYPT_OID_INFO_ALGID_KEY = 3;  // const ALG_ID*
constexpr DWORD CRYPT_OID_INFO_SIGN_KEY = 4;   // const ALG_ID[2]: hash, public-key algorithm
// Groups; 0 searches all of them, hashes first.
constexpr DWORD CRYPT_HASH_ALG_OID_GROUP_ID = 1;
constexpr DWORD CRYPT_ENCRYPT_ALG_OID_GROUP_ID = 2;
constexpr DWORD CRYPT_PUBKEY_ALG_OID_GROUP_ID = 3;
constexpr DWORD CRYPT_SIGN_ALG_OID_GROUP_ID = 4;
// Rows that only name an OID (algorithm id 0): found by OID or name, never by
// algorithm id.
constexpr DWORD CRYPT_RDN_ATTR_OID_GROUP_ID = 5;
constexpr DWORD CRYPT_EXT_OR_ATTR_OID_GROUP_ID = 6;
constexpr DWORD CRYPT_ENHKEY_USAGE_OID_GROUP_ID = 7;
// Algorithms, parameter sets and content types the library names but does
// not run.
constexpr DWORD VRK_NAME_ONLY_OID_GROUP_ID = 100;

namespace vrkscapi::vrkcspexfun {
// A row of the registry, or null. Signature rows carry the hash as Algid and
// the public-key algorithm as the first word of ExtraInfo.
CERT_API PCCRYPT_OID_INFO FindOIDInfo(DWORD keyType, const void* key, DWORD groupId);
// Every row, in search order.
CERT_API const std::vector<CRYPT_OID_INFO>& OIDInfoRows();
}  // namespace vrkscapi::vrkcspexfun

// `oid` is text of `oidLength` characters without a zero (fewer than 260).
// Sets algId and the extra word (0 when the row has none); 1 found, 0 not
// (also for an OID the registry only names).
CERT_API int GetAlgIDFromOID(const void* oid, unsigned long oidLength, unsigned& algId, unsigned& extra);
// By algorithm id when extra is 0xFFFF, else by {hash algId, public-key
// extra}; 1 and the OID text (no zero) in `oid`, or 0 and `oid` emptied.
CERT_API int GetOIDFromAlgID(IdentObj& oid, unsigned algId, unsigned extra);

CERT_API CTOOString CTFGetNameForOID(const CTOOString& oid);
CERT_API std::list<CTOOString> CTFGetSupportedSignOIDS(bool unused = false);
CERT_API std::list<CTOOString> CTFGetSupportedDHOIDS();
CERT_API std::list<unsigned> CTFGetSupportedKeyTypes();
// Parameter-set OIDs of a public-key algorithm; XTOOStatus 73 for others.
CERT_API std::list<CTOOString> CTFGetSupportedParams(const CTOOString& algorithmOid);
CERT_API unsigned long CTFGetPKLenghOID(const CTOOString& oid);
// Hash OIDs usable with the certificate's key (no certificate: the 2001 set).
CERT_API std::list<CTOOString> CTFGetSupportedHashOIDS(const CCTFCertContext* cert);

namespace CertDll {

// What CTFGetSupportedHashOIDS needs of a certificate, provided by the layer
// that owns certificate contexts: its subject public-key algorithm OID, and
// the hash OIDs of its key's provider for the algorithms the frame does not
// know (an empty list when the provider cannot be opened).
struct CertHashHooks {
    std::string (*publicKeyOid)(const CCTFCertContext* cert) = nullptr;
    std::list<CTOOString> (*providerHashOids)(const CCTFCertContext* cert) = nullptr;
};
CERT_API void SetCertHashHooks(const CertHashHooks& hooks);

// The hash OIDs among a provider's algorithm ids, in order (class 0x8000
// only, each through GetOIDFromAlgID(.., 0xFFFF)); for providerHashOids.
CERT_API std::list<CTOOString> HashOidsOfAlgIds(const std::vector<ALG_ID>& algIds);

}  // namespace CertDll
