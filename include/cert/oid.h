// The OID registry of the crypto provider and the algorithm queries over it.
#pragma once

#include <list>
#include <string>
#include <vector>

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

namespace vrkscapi::vrkcspexfun {
// A row of the registry, or null. Signature rows carry the hash as Algid and
// the public-key algorithm as the first word of ExtraInfo.
PCCRYPT_OID_INFO FindOIDInfo(DWORD keyType, const void* key, DWORD groupId);
// Every row, in search order.
const std::vector<CRYPT_OID_INFO>& OIDInfoRows();
}  // namespace vrkscapi::vrkcspexfun

// `oid` is text of `oidLength` characters without a zero (fewer than 260).
// Sets algId and the extra word (0 when the row has none); 1 found, 0 not.
int GetAlgIDFromOID(const void* oid, unsigned long oidLength, unsigned& algId, unsigned& extra);
// By algorithm id when extra is 0xFFFF, else by {hash algId, public-key
// extra}; 1 and the OID text (no zero) in `oid`, or 0 and `oid` emptied.
int GetOIDFromAlgID(IdentObj& oid, unsigned algId, unsigned extra);

CTOOString CTFGetNameForOID(const CTOOString& oid);
std::list<CTOOString> CTFGetSupportedSignOIDS(bool unused = false);
std::list<CTOOString> CTFGetSupportedDHOIDS();
std::list<unsigned> CTFGetSupportedKeyTypes();
// Parameter-set OIDs of a public-key algorithm; XTOOStatus 73 for others.
std::list<CTOOString> CTFGetSupportedParams(const CTOOString& algorithmOid);
unsigned long CTFGetPKLenghOID(const CTOOString& oid);
// Hash OIDs usable with the certificate's key (no certificate: the 2001 set).
std::list<CTOOString> CTFGetSupportedHashOIDS(const CCTFCertContext* cert);

namespace CertDll {

// What CTFGetSupportedHashOIDS needs of a certificate, provided by the layer
// that owns certificate contexts: its subject public-key algorithm OID, and
// the hash OIDs of its key's provider for the algorithms the frame does not
// know (an empty list when the provider cannot be opened).
struct CertHashHooks {
    std::string (*publicKeyOid)(const CCTFCertContext* cert) = nullptr;
    std::list<CTOOString> (*providerHashOids)(const CCTFCertContext* cert) = nullptr;
};
void SetCertHashHooks(const CertHashHooks& hooks);

// The hash OIDs among a provider's algorithm ids, in order (class 0x8000
// only, each through GetOIDFromAlgID(.., 0xFFFF)); for providerHashOids.
std::list<CTOOString> HashOidsOfAlgIds(const std::vector<ALG_ID>& algIds);

}  // namespace CertDll
