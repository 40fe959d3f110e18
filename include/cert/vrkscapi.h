// The crypto provider interface: GOST keys in key containers, hashes,
// signatures, key agreement, key blobs and GOST 28147-89 encryption, reached
// by 32-bit provider, key and hash handles.
//
// Every VRK* function returns non-zero on success; on failure it returns 0
// and the thread's last error holds the Windows or NTE_* code. No function
// declared here lets an exception out; the key interchange functions at the
// end report the same way.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cert/algid.h"
#include "cert/export.h"
#include "cert/platform.h"
#include "cert/secret.h"
#include "cert/tools.h"

// ---------------------------------------------------------------------------
// Provider names and types.
constexpr const char* VRK_PROV_GOST = "Varnok Cryptographic Service Provider";
constexpr const char* VRK_PROV_GOST_2012_256 = "Varnok GOST 2012/512 Cryptographic Service Provider";
constexpr const char* VRK_PROV_GOST_2012_512 = "Varnok GOST 2012/1024 Cryptographic Service Provider";
constexpr const char* VRK_PROV_MS_BASE = "Microsoft Base Cryptographic Provider v1.0";
constexpr const char* VRK_PROV_MS_DSS = "Microsoft Base DSS Cryptographic Provider";
constexpr DWORD VRK_PROV_TYPE_GOST = 2;            // GOST R 34.10-2001 keys (and any GOST key)
constexpr DWORD VRK_PROV_TYPE_GOST_2012_256 = 77;  // GOST R 34.10-2012, 256-bit keys
constexpr DWORD VRK_PROV_TYPE_GOST_2012_512 = 78;  // GOST R 34.10-2012, 512-bit keys
constexpr DWORD VRK_PROV_TYPE_RSA_FULL = 1;
constexpr DWORD VRK_PROV_TYPE_DSS = 3;

// Acquire flags. CRYPT_NEWKEYSET creates the named container and fails with
// NTE_EXISTS when there is one: of several processes creating one name,
// exactly one succeeds.
constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000u;
constexpr DWORD CRYPT_NEWKEYSET = 0x8;
constexpr DWORD CRYPT_DELETEKEYSET = 0x10;
constexpr DWORD CRYPT_MACHINE_KEYSET = 0x20;
constexpr DWORD CRYPT_SILENT = 0x40;
// With no container name: take the key set's first container (with
// CRYPT_NEWKEYSET: create one under a fresh name); with a name and
// CRYPT_NEWKEYSET: open the container when it already exists.
constexpr DWORD VRK_CHOOSE_CONTAINER = 0x200;

// Provider parameters. Texts read (2, 4, 6, 36) end in a zero byte; OID
// texts of key parameters (103, 104, 106) do not, and are taken either way.
constexpr DWORD PP_ENUMALGS = 1;
constexpr DWORD PP_ENUMCONTAINERS = 2;
constexpr DWORD PP_NAME = 4;
constexpr DWORD PP_CONTAINER = 6;
constexpr DWORD VRK_PP_CHANGE_PASSWORD = 7;
constexpr DWORD PP_PROVTYPE = 16;
constexpr DWORD PP_KEYEXCHANGE_PIN = 32;
constexpr DWORD PP_SIGNATURE_PIN = 33;
constexpr DWORD PP_UNIQUE_CONTAINER = 36;
constexpr DWORD VRK_PP_SIGN_PARAMSET = 94;      // OID text: parameter set of the next signature key
constexpr DWORD VRK_PP_EXCHANGE_PARAMSET = 95;  // OID text: parameter set of the next exchange key
constexpr DWORD VRK_PP_PROTECTION_KEY = 99;     // HCRYPTKEY: default wrap key of private-key blobs
constexpr DWORD VRK_PP_CONTAINER_INFO = 102;    // DER of ASNContainerInfo (cert/asnkeys.h)
// Enumeration flags. A verify-only context enumerates its whole key set, a
// container context its container and those named "NAME\..." below it;
// each name given becomes the container that key calls address.
constexpr DWORD CRYPT_FIRST = 1;
constexpr DWORD CRYPT_NEXT = 2;
constexpr DWORD CRYPT_UNIQUE = 8;  // accepted; names are unique already
constexpr DWORD CRYPT_FQCN = 16;   // fully qualified names (openable from any key set)
// SetProvParam 32/33: keep the password for this user once it opened a key.
constexpr DWORD VRK_SAVE_PASSWORD = 1;

// Key specs (AT_SIGNATURE, AT_KEYEXCHANGE).
constexpr DWORD AT_KEYEXCHANGE = 1;
constexpr DWORD AT_SIGNATURE = 2;

// Hash parameters.
constexpr DWORD HP_ALGID = 1;
constexpr DWORD HP_HASHVAL = 2;
constexpr DWORD HP_HASHSIZE = 4;

// Key parameters.
constexpr DWORD KP_IV = 1;  // IV of a cipher key, UKM (8 bytes) of a key-agreement key
constexpr DWORD KP_ALGID = 7;
constexpr DWORD KP_KEYLEN = 9;
constexpr DWORD KP_X = 14;  // set empty: completes a key generated with CRYPT_PREGEN
constexpr DWORD KP_CERTIFICATE = 26;
constexpr DWORD VRK_KP_MESHING = 101;          // DWORD 1: RFC 4357 key meshing on VRKEncrypt/VRKDecrypt
constexpr DWORD VRK_KP_HASH_PARAMSET = 103;    // OID text
constexpr DWORD VRK_KP_CIPHER_PARAMSET = 104;  // OID text
constexpr DWORD VRK_KP_PUBKEY_PARAMSET = 106;  // OID text: public-key (key-agreement) parameter set

// Key generation flags; the key length in bits goes in the upper 16 bits.
constexpr DWORD CRYPT_EXPORTABLE = 0x1;
constexpr DWORD CRYPT_PREGEN = 0x40;

// Blob types.
constexpr DWORD SIMPLEBLOB = 1;
constexpr DWORD PUBLICKEYBLOB = 6;
constexpr DWORD PRIVATEKEYBLOB = 7;
// A GOST 28147-89 key in clear; import only (0x661E, 0x602D, 0x602E).
constexpr DWORD PLAINTEXTKEYBLOB = 8;
constexpr BYTE CUR_BLOB_VERSION = 2;
constexpr BYTE VRK_PUBLICKEY_BLOB_VERSION = 0x10;
constexpr BYTE VRK_SIMPLE_BLOB_VERSION = 0x20;
constexpr DWORD VRK_SIMPLEBLOB_MAGIC = 0x374A51FD;
constexpr DWORD VRK_PUBLICKEY_MAGIC = 0x3147414D;   // "MAG1"
constexpr DWORD VRK_PRIVATEKEY_MAGIC = 0x504B5256;  // "VRKP"

// Status of a wrong password: the key stays closed, nothing else is told.
constexpr DWORD VRK_E_WRONG_PASSWORD = NTE_BAD_KEYSET_PARAM;

// One record of PP_ENUMALGS.
struct PROV_ENUMALGS {
    ALG_ID aiAlgid;
    DWORD dwBitLen;
    DWORD dwNameLen;
    char szName[20];
};
static_assert(sizeof(PROV_ENUMALGS) == 32);

// The 8-byte header in front of every key blob.
struct BLOBHEADER {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
};
static_assert(sizeof(BLOBHEADER) == 8);

// ---------------------------------------------------------------------------
CERT_API BOOL VRKAcquireContext(HCRYPTPROV* phProv, const char* container, const char* provider, DWORD type,
                                DWORD flags);
CERT_API BOOL VRKReleaseContext(HCRYPTPROV hProv, DWORD flags = 0);
CERT_API BOOL VRKGetProvParam(HCRYPTPROV hProv, DWORD param, IdentObj& out, DWORD flags);
CERT_API BOOL VRKSetProvParam(HCRYPTPROV hProv, DWORD param, const void* data, DWORD flags);

CERT_API BOOL VRKCreateHash(HCRYPTPROV hProv, ALG_ID alg, HCRYPTKEY hKey, HCRYPTHASH* phHash, DWORD flags = 0);
CERT_API BOOL VRKHashData(HCRYPTHASH hHash, const void* data, DWORD size, DWORD flags = 0);
CERT_API BOOL VRKHashData(HCRYPTHASH hHash, const IdentObj& data, DWORD flags = 0);
CERT_API BOOL VRKGetHashParam(HCRYPTHASH hHash, DWORD param, IdentObj& out, DWORD flags = 0);
CERT_API BOOL VRKSetHashParam(HCRYPTHASH hHash, DWORD param, const IdentObj& value, DWORD flags = 0);
CERT_API BOOL VRKDuplicateHash(HCRYPTHASH hHash, HCRYPTHASH* phHash);
CERT_API BOOL VRKDestroyHash(HCRYPTHASH hHash);

// The signature is least significant byte first: the reverse of the form
// DER and OpenSSL use.
CERT_API BOOL VRKSignHash(HCRYPTHASH hHash, DWORD keySpec, DWORD flags, IdentObj& signature);
CERT_API BOOL VRKVerifySignature(HCRYPTHASH hHash, const IdentObj& signature, HCRYPTKEY hPubKey, DWORD flags);

CERT_API BOOL VRKGetUserKey(HCRYPTPROV hProv, DWORD keySpec, HCRYPTKEY* phKey);
// `alg` is an ALG_ID or AT_KEYEXCHANGE / AT_SIGNATURE; flags carry the key
// length in bits << 16 (0 for the provider's default).
CERT_API BOOL VRKGenKey(HCRYPTPROV hProv, ALG_ID alg, DWORD flags, HCRYPTKEY* phKey);
CERT_API BOOL VRKDeriveKey(HCRYPTPROV hProv, ALG_ID alg, HCRYPTHASH hBaseData, DWORD flags, HCRYPTKEY* phKey);
CERT_API BOOL VRKExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD blobType, DWORD flags, IdentObj& blob);
CERT_API BOOL VRKImportKey(HCRYPTPROV hProv, const BYTE* blob, DWORD size, HCRYPTKEY hImpKey, DWORD flags,
                           HCRYPTKEY* phKey);
CERT_API BOOL VRKImportPKInfo(HCRYPTPROV hProv, const CERT_PUBLIC_KEY_INFO* info, HCRYPTKEY* phKey);
CERT_API BOOL VRKGetKeyParam(HCRYPTKEY hKey, DWORD param, IdentObj& out, DWORD flags = 0);
CERT_API BOOL VRKSetKeyParam(HCRYPTKEY hKey, DWORD param, const IdentObj& value, DWORD flags = 0);
CERT_API BOOL VRKEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL final, const void* data, DWORD size, IdentObj& out);
CERT_API BOOL VRKDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL final, const void* data, DWORD size, IdentObj& out);
CERT_API BOOL VRKDuplicateKey(HCRYPTKEY hKey, HCRYPTKEY* phKey);
CERT_API BOOL VRKDestroyKey(HCRYPTKEY hKey);

CERT_API BOOL VRKGenRandom(HCRYPTPROV hProv, DWORD size, BYTE* buffer);

// `flags`: CRYPT_MACHINE_KEYSET (32) for a machine container, else 0.
CERT_API BOOL VRKIsPasswordSaved(const char* container, DWORD flags, int* saved);
CERT_API BOOL VRKRemoveSavedPassword(const char* container, DWORD flags);

// Asking for a password. A context opened without CRYPT_SILENT that needs
// the password of a key and has none (neither given nor saved) asks the
// process's prompt: `purpose` tells whether a key is opened or a new key is
// stored (made, imported). The prompt puts the password in `password` and
// returns TRUE, or returns FALSE to cancel; an empty password for a new key
// leaves it under the key set's own secret. With no prompt, in a silent
// context or after a cancel, opening fails with ERROR_CANCELLED; a new key is
// then stored as without a prompt, except that a cancel fails it with
// ERROR_CANCELLED too. The prompt runs inside the provider call that needs
// it, on the caller's thread: it must not call the provider itself.
constexpr DWORD VRK_PROMPT_OPEN_KEY = 0;
constexpr DWORD VRK_PROMPT_NEW_KEY = 1;
using VRKPasswordPrompt = BOOL (*)(const char* container, DWORD keySpec, DWORD purpose, cert::Secret& password,
                                   void* context);
// Sets the process's prompt (null: none) and the context handed to it.
CERT_API void VRKSetPasswordPrompt(VRKPasswordPrompt prompt, void* context);

namespace vrkscapi {
// Fills 8 bytes (an octet) of random; returns 0 or the Windows error. There
// is no interactive source: `flag` and `window` are accepted and ignored.
CERT_API int GetRandomByteOctet(BYTE* buffer, DWORD flag, HWND window);

namespace vrkcspexfun {
// The SubjectPublicKeyInfo parts of a GOST public key: `publicKeyBlob` is a
// PUBLICKEYBLOB (VRKExportKey type 6) or the raw key bytes; `encodedKey`
// gets the BIT STRING content (an OCTET STRING of the key), `encodedParams`
// the DER of the algorithm parameters (public-key and digest parameter
// sets; for raw key bytes `paramSet` names the public-key set).
CERT_API BOOL VRKEncodePublicKeyAndParametrs(DWORD provType, const char* oid, const IdentObj& publicKeyBlob,
                                             IdentObj& encodedKey, IdentObj& encodedParams,
                                             const char* paramSet = nullptr);
}  // namespace vrkcspexfun
}  // namespace vrkscapi

// Registry queries of the installed providers (no provider is loaded).
CERT_API int CCTFEnumProviders(unsigned long index, unsigned long* error, unsigned long reserved, unsigned long* type,
                               char* name, unsigned long* nameLength);
CERT_API bool CCTFIsProviderReg(const char* name, unsigned long* type);

// ---------------------------------------------------------------------------
namespace VRKSCApi {

// Owning wrappers of one handle each.
class CERT_API CryptProvider {
public:
    CryptProvider() = default;
    explicit CryptProvider(HCRYPTPROV h) : m_h(h) {}
    ~CryptProvider() { Release(); }
    CryptProvider(const CryptProvider&) = delete;
    CryptProvider& operator=(const CryptProvider&) = delete;
    CryptProvider(CryptProvider&& o) noexcept : m_h(o.Detach()) {}
    CryptProvider& operator=(CryptProvider&& o) noexcept;
    HCRYPTPROV* operator&() {
        Release();
        return &m_h;
    }
    operator HCRYPTPROV() const { return m_h; }
    HCRYPTPROV Detach() {
        HCRYPTPROV h = m_h;
        m_h = 0;
        return h;
    }
    void Release();

private:
    HCRYPTPROV m_h = 0;
};

class CERT_API CryptKey {
public:
    CryptKey() = default;
    explicit CryptKey(HCRYPTKEY h) : m_h(h) {}
    ~CryptKey() { Destroy(); }
    CryptKey(const CryptKey&) = delete;
    CryptKey& operator=(const CryptKey&) = delete;
    CryptKey(CryptKey&& o) noexcept : m_h(o.Detach()) {}
    CryptKey& operator=(CryptKey&& o) noexcept;
    HCRYPTKEY* operator&() {
        Destroy();
        return &m_h;
    }
    operator HCRYPTKEY() const { return m_h; }
    HCRYPTKEY Detach() {
        HCRYPTKEY h = m_h;
        m_h = 0;
        return h;
    }
    void Destroy();

private:
    HCRYPTKEY m_h = 0;
};

class CERT_API CryptHash {
public:
    CryptHash() = default;
    explicit CryptHash(HCRYPTHASH h) : m_h(h) {}
    ~CryptHash() { Destroy(); }
    CryptHash(const CryptHash&) = delete;
    CryptHash& operator=(const CryptHash&) = delete;
    CryptHash(CryptHash&& o) noexcept : m_h(o.Detach()) {}
    CryptHash& operator=(CryptHash&& o) noexcept;
    HCRYPTHASH* operator&() {
        Destroy();
        return &m_h;
    }
    operator HCRYPTHASH() const { return m_h; }
    HCRYPTHASH Detach() {
        HCRYPTHASH h = m_h;
        m_h = 0;
        return h;
    }
    void Destroy();

private:
    HCRYPTHASH m_h = 0;
};

}  // namespace VRKSCApi

// ---------------------------------------------------------------------------
// Key interchange with other tools (not reached through handles).
namespace vrk {

struct ContainerKeyRow {
    std::string name;  // container name
    bool machine = false;
    DWORD keySpec = 0;  // AT_KEYEXCHANGE or AT_SIGNATURE
    ALG_ID alg = 0;
    std::string paramSet;  // public-key parameter set OID
    bool hasCertificate = false;
    bool passwordProtected = false;
    bool damaged = false;  // the container file cannot be read
};
// Every key of every container of the user's (or machine's) key set; an
// empty container gives one row with keySpec 0. FALSE with the last error
// when the key set cannot be read (its folder cannot be made, ...).
CERT_API BOOL ListContainerKeys(bool machine, std::vector<ContainerKeyRow>& rows);
// The same rows, empty on failure; the last error tells which (0 on success).
CERT_API std::vector<ContainerKeyRow> ListContainerKeys(bool machine);

// Imports a PKCS #8 private key (DER or PEM, plain or encrypted with
// `pkcs8Password`) as the key `keySpec` (0: signature for signing-only
// algorithms, else by the key's kind) of container `name`, created when
// missing; the key is protected with `password` (empty: the user's own key).
// A key of that spec already in the container is replaced when
// `replace` is set, else the import fails with NTE_EXISTS and changes
// nothing (decided under the key set's lock, so two importers cannot both
// think the slot free). A container this call made for a key that did not
// come in is removed again. Returns 0 or a Windows error code (also the
// last error).
CERT_API DWORD ImportPkcs8(const std::string& name, bool machine, std::span<const std::uint8_t> pkcs8,
                           const cert::Secret& pkcs8Password, DWORD keySpec, const cert::Secret& password,
                           bool replace = false);
inline DWORD ImportPkcs8(const std::string& name, bool machine, const IdentObj& pkcs8,
                         const cert::Secret& pkcs8Password, DWORD keySpec, const cert::Secret& password,
                         bool replace = false) {
    return ImportPkcs8(name, machine, std::span<const std::uint8_t>(pkcs8.data(), pkcs8.size()), pkcs8Password, keySpec,
                       password, replace);
}
// The private key `keySpec` (0: the default key) of a container as PEM
// PKCS #8 (encrypted with `outPassword` when it is not empty). The form
// with a std::string leaves the key text in memory the caller must look
// after; the cert::Secret form wipes it.
CERT_API DWORD ExportPkcs8(const std::string& name, bool machine, DWORD keySpec, const cert::Secret& password,
                           const cert::Secret& outPassword, cert::Secret& pem);
CERT_API DWORD ExportPkcs8(const std::string& name, bool machine, DWORD keySpec, const cert::Secret& password,
                           const cert::Secret& outPassword, std::string& pem);

}  // namespace vrk
