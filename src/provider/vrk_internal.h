// Inside the VRK* provider: the objects behind the handles, the handle
// tables and the helpers the API files share. Not exported.
#pragma once

#include <functional>
#include <map>
#include <new>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cert/asnkeys.h"
#include "cert/lecursor.h"
#include "cert/secret.h"
#include "cert/vrkscapi.h"
#include "provider/gost.h"

namespace vrk {

namespace gost = cert::gost;
using cert::Secret;

// The error a provider function gives: thrown inside the provider and put
// in the caller's last error at the API boundary (Guard).
struct ProviderError {
    DWORD code;
};
[[noreturn]] inline void Throw(DWORD code) { throw ProviderError{code}; }

// The Windows code for the exception being handled (call only inside a
// catch): a ProviderError's code, a gost::Error's, NTE_NO_MEMORY for
// std::bad_alloc, the errno's for a system error, NTE_BAD_DATA for a
// malformed encoding, NTE_FAIL for anything else. Every exported function
// of the provider ends its catch with it, so nothing internal escapes.
DWORD CurrentExceptionWinError() noexcept;

// Runs `body` and puts the outcome in the last error. Returns TRUE when the
// body ran through.
template <class F>
BOOL Guard(F&& body);

// A locked table of 32-bit ids. Ids of different tables lie in different
// ranges so that a key handle passed as a hash handle is refused.
template <class T>
class HandleTable {
public:
    explicit HandleTable(DWORD base) : m_next(base), m_base(base) {}
    DWORD Add(std::shared_ptr<T> obj) {
        std::lock_guard<std::mutex> lock(m_mu);
        DWORD id;
        do {
            id = m_next++;
            if ((m_next & 0x0FFFFFFFu) == 0) m_next = m_base + 1;
        } while (id == 0 || m_items.count(id));
        m_items.emplace(id, std::move(obj));
        return id;
    }
    std::shared_ptr<T> Get(DWORD id) const {
        std::lock_guard<std::mutex> lock(m_mu);
        auto it = m_items.find(id);
        return it == m_items.end() ? nullptr : it->second;
    }
    bool Remove(DWORD id) {
        std::shared_ptr<T> keep;  // destroyed outside the lock
        std::lock_guard<std::mutex> lock(m_mu);
        auto it = m_items.find(id);
        if (it == m_items.end()) return false;
        keep = std::move(it->second);
        m_items.erase(it);
        return true;
    }
    std::size_t Count() const {
        std::lock_guard<std::mutex> lock(m_mu);
        return m_items.size();
    }

private:
    mutable std::mutex m_mu;
    std::map<DWORD, std::shared_ptr<T>> m_items;
    DWORD m_next;
    DWORD m_base;
};

// ---------------------------------------------------------------------------
// Algorithms.
enum class AlgClass { None, Hash, Mac, Sign, Exchange, Ephemeral, Cipher, RsaSign, RsaExchange };
struct AlgInfo {
    ALG_ID id;
    AlgClass cls;
    const char* name;  // PP_ENUMALGS name
    DWORD bits;
};
// The provider's own algorithms (GOST providers) or a foreign provider's.
const std::vector<AlgInfo>& Algorithms(bool foreign);
const AlgInfo* FindAlg(ALG_ID id);
// Key algorithm behind a GOST signature/exchange/ephemeral ALG_ID.
gost::KeyAlg KeyAlgOf(ALG_ID id);
// The signature / exchange ALG_ID of a key algorithm.
ALG_ID SignAlgOf(gost::KeyAlg alg);
ALG_ID ExchangeAlgOf(gost::KeyAlg alg);
ALG_ID EphemeralAlgOf(gost::KeyAlg alg);
bool IsAsymmetric(AlgClass c);
// The 28147-89 S-box a symmetric key of this ALG_ID uses by default.
const char* DefaultSboxOf(ALG_ID id);

// ---------------------------------------------------------------------------
// Key containers on disk: the file format (container_file.cpp), the key-set
// folder and its lock (keyset.cpp), sealing (sealing.cpp) and saved
// passwords (saved_passwords.cpp). Layouts in docs/FORMATS.md.

// How the sealing key of a stored key is derived from its password or the
// key set's secret.
enum class Kdf : DWORD {
    Pbkdf2Sha256 = 1,  // `iterations` rounds
    Scrypt = 2,        // N = 2^scryptLog2N, r, p
};
struct StoredKey {
    DWORD spec = 0;  // AT_KEYEXCHANGE or AT_SIGNATURE
    ALG_ID alg = 0;
    std::string paramSet;      // public-key parameter set OID (empty for RSA)
    std::string hashParamSet;  // digest parameter set OID
    IdentObj publicKey;        // raw public key (GOST: X||Y little-endian) or SPKI DER (RSA)
    IdentObj certificate;      // the certificate stored with the key
    DWORD protection = 0;      // kProtect* bits
    IdentObj salt;
    Kdf kdf = Kdf::Pbkdf2Sha256;  // files without a KDF field are PBKDF2
    DWORD iterations = 0;         // PBKDF2 rounds; 0 for scrypt
    DWORD scryptLog2N = 0, scryptR = 0, scryptP = 0;
    IdentObj check;  // password check value
    IdentObj nonce;
    IdentObj sealed;  // encrypted private key (GOST: scalar LE; RSA: PKCS #8 DER) + tag
    FILETIME created{};
    FILETIME notAfter{};
    DWORD exportable = 1;
};
constexpr DWORD kProtectUserKey = 0x001;   // sealed under the key set's own secret
constexpr DWORD kProtectPassword = 0x400;  // sealed under a password-derived key

struct Container {
    std::string name;
    bool machine = false;
    FILETIME created{};
    std::vector<StoredKey> keys;
    StoredKey* Find(DWORD spec);
    const StoredKey* Find(DWORD spec) const;
    // The key a spec of 0 means: the signature key, else the exchange key.
    const StoredKey* Default() const;
};

namespace store {
// The folder of a key set (created on demand; throws when it cannot be).
std::string KeySetFolder(bool machine);
std::string ContainerPath(const std::string& name, bool machine);
bool ValidName(const std::string& name);
// A container name as a file name: bytes outside [A-Za-z0-9._-] (and a
// leading '.') as %xx, lower-case hex. Existing key sets are found by these
// names: the form never changes.
std::string EncodeName(const std::string& name);
bool Exists(const std::string& name, bool machine);
// Device, inode, size and modification time of the file; empty when missing.
std::string Stamp(const std::string& name, bool machine);
std::vector<std::string> List(bool machine);
// 0 or the error (NTE_BAD_KEYSET when missing, NTE_KEYSET_ENTRY_BAD when
// damaged).
DWORD Load(const std::string& name, bool machine, Container& out);
// Creates an empty container; NTE_EXISTS when there is one. Of several
// processes creating one name, exactly one succeeds.
DWORD Create(const std::string& name, bool machine);
// `onlyIfEmpty`: leaves a container that holds a key (NTE_EXISTS).
DWORD Remove(const std::string& name, bool machine, bool onlyIfEmpty = false);
// Read, change and write back one container under the key set's lock.
// `change` returns 0 to write, or an error that leaves the file as it was.
// A lock that cannot be taken fails (ERROR_LOCK_VIOLATION or the open
// error of the lock file) before anything is read or written.
DWORD Update(const std::string& name, bool machine, const std::function<DWORD(Container&)>& change);

// The file format. Decode: 0, NTE_BAD_VER or NTE_KEYSET_ENTRY_BAD; `out`
// is only changed on success.
IdentObj Encode(const Container& c);
DWORD Decode(gost::ByteView file, Container& out);

// The key set's own secret, made on first use.
constexpr std::size_t kKeySetSecretSize = 32;
Secret KeySetSecret(bool machine);
// Whole-file reading and writing for the store. ReadWhole: 0 or the error
// of cert::platform::ReadWholeFile, at most kMaxStoreFile bytes (a
// container with its keys and certificates). ReadSecretFile: into wiping
// memory, never through a link, at most a key-set secret's size.
// CreateWhole: makes a file that does not exist yet, whole or not at all,
// never replacing what is there (0, NTE_EXISTS or the error).
constexpr std::size_t kMaxStoreFile = 16u << 20;
DWORD ReadWhole(const std::string& path, std::string& out);
DWORD ReadSecretFile(const std::string& path, Secret& out);
DWORD CreateWhole(const std::string& path, gost::ByteView data);
// The user's own provider folder (saved passwords live there).
std::string UserProviderFolder();

// Seals `secret` into `key` under `password` (nullptr: the key set's own
// secret); throws when it cannot, leaving `key` as it was. Unseal: 0,
// ERROR_CANCELLED when a password is needed and none is given,
// VRK_E_WRONG_PASSWORD, or NTE_KEYSET_ENTRY_BAD.
void Seal(StoredKey& key, bool machine, const Secret* password, gost::ByteView secret);
DWORD Unseal(const StoredKey& key, bool machine, const Secret* password, Secret& secret);

// Saved passwords: kept per user, sealed under the user's own secret.
DWORD SavePassword(const std::string& name, bool machine, const Secret& password);
bool LoadSavedPassword(const std::string& name, bool machine, Secret& password);
bool IsPasswordSaved(const std::string& name, bool machine);
void ForgetSavedPassword(const std::string& name, bool machine);
}  // namespace store

// The container information record (provider parameter 102).
ASNContainerInfo MakeContainerInfo(const Container& c);
// SHA-1 of a public key as a certificate's BIT STRING holds it.
IdentObj KeyIdOf(ALG_ID alg, const IdentObj& publicKey);

// ---------------------------------------------------------------------------
// Handle objects.
struct KeyObj;

struct ProvObj {
    std::mutex mu;
    std::string provName;
    DWORD type = 0;
    bool foreign = false;  // platform RSA/DSS provider: verify-only, hashes and public keys
    bool verify = false;
    bool machine = false;
    bool silent = false;
    std::string container;  // opened container (empty for verify-only)
    std::string current;    // container that key calls address (follows enumeration)
    bool currentMachine = false;
    // Container enumeration.
    std::vector<std::string> enumNames;
    std::size_t enumPos = 0;
    bool enumFq = false;
    bool enumMachine = false;
    std::size_t algPos = 0;
    // Passwords per key spec, as set by the caller.
    std::optional<Secret> pwExchange, pwSignature;
    bool savePassword = false;
    std::string signParamSet, exchangeParamSet;  // 94, 95
    HCRYPTKEY protectionKey = 0;                 // 99
    // Container keys opened through this context ("m|name|spec"), so that a
    // password is checked once, not on every signature.
    // The file's stamp tells when the container changed under the cache.
    std::map<std::string, std::pair<std::string, std::shared_ptr<KeyObj>>> opened;
    ~ProvObj();
};

struct KeyObj {
    std::mutex mu;
    ALG_ID alg = 0;
    AlgClass cls = AlgClass::None;
    DWORD spec = 0;  // container key: its spec
    bool exportable = false;
    // Container the key belongs to (empty for session and public keys).
    std::string container;
    bool machine = false;
    // Asymmetric.
    gost::Key key;  // private (container, ephemeral) or public (imported)
    std::string paramSet, hashParamSet;
    IdentObj publicRaw;    // raw public key bytes
    bool pending = false;  // CRYPT_PREGEN: parameters still open
    IdentObj ukm;          // KP_IV of a key-agreement key
    IdentObj certificate;  // KP_CERTIFICATE (kept in the container for container keys)
    // Agreement key: the private key and the peer's public key.
    std::shared_ptr<KeyObj> agreePrivate;
    gost::Key agreePeer;
    // Symmetric.
    Secret secret;     // 32 bytes
    std::string sbox;  // cipher parameter set
    IdentObj iv;
    DWORD meshing = 0;
    std::unique_ptr<gost::Cipher> stream;  // running VRKEncrypt/VRKDecrypt
    bool streamEncrypt = false;
};

struct HashObj {
    std::mutex mu;
    ALG_ID alg = 0;
    std::weak_ptr<ProvObj> prov;
    HCRYPTPROV hProv = 0;
    std::optional<gost::Hash> hash;
    std::optional<gost::Mac> mac;
    std::size_t macBytes = 8;
    IdentObj value;  // final value once taken or set
    bool done = false;
    // A private key given at creation: VRKSignHash signs with it.
    std::shared_ptr<KeyObj> signKey;
};

// The value of a hash or MAC (finishing it on first use).
const IdentObj& HashValue(HashObj& h);
// A copy of a key object (a running cipher stream is not copied).
std::shared_ptr<KeyObj> CopyKey(const KeyObj& k);
// The KEK an agreement key stands for, with the given UKM.
Secret AgreementKek(KeyObj& agreement, gost::ByteView ukm);
// Forgets opened keys of a container after it changed.
void ForgetOpened(ProvObj& p);

HandleTable<ProvObj>& Provs();
HandleTable<KeyObj>& Keys();
HandleTable<HashObj>& Hashes();

std::shared_ptr<ProvObj> GetProv(HCRYPTPROV h);  // throws NTE_BAD_UID
std::shared_ptr<KeyObj> GetKey(HCRYPTKEY h);     // throws NTE_BAD_KEY
std::shared_ptr<HashObj> GetHash(HCRYPTHASH h);  // throws NTE_BAD_HASH

// The key set and name a provider's key calls address.
struct Target {
    std::string name;
    bool machine;
};
Target CurrentContainer(ProvObj& p);  // throws NTE_BAD_KEYSET for verify-only contexts
// Opens a container key: checks the password and loads the private key.
// The Opened form hands out the context's cached object, which callers only
// read; the other a copy of it for a handle.
std::shared_ptr<KeyObj> OpenContainerKey(ProvObj& p, DWORD spec);
std::shared_ptr<KeyObj> OpenedContainerKey(ProvObj& p, DWORD spec);
// What the process's password prompt answered for a key of `t`.
enum class Prompted { NoPrompt, Given, Cancelled };
Prompted AskPassword(const ProvObj& p, const Target& t, DWORD spec, DWORD purpose, Secret& password);
// Keeps a password the prompt gave for the context's own container, so that
// its other key does not ask again.
void KeepPromptedPassword(ProvObj& p, const Target& t, DWORD spec, const Secret& password);
// The password that opens `spec` of the current container, or nothing.
const Secret* PasswordFor(ProvObj& p, DWORD spec, Secret& savedHolder);
// Writes a new private key into the current container, protected by the
// caller's password for it, else by the key set's own secret. A key of the
// same spec already there is replaced when `replace` is set and
// refused (NTE_EXISTS) otherwise, decided under the key set's lock.
void StoreContainerKey(ProvObj& p, KeyObj& k, bool replace = true);

// A parameter value of 32 bits (little-endian).
IdentObj U32Value(DWORD v);
std::string OidText(const IdentObj& v);  // OID text, with or without a terminating zero

// Key blobs: the header every blob starts with, and the type of a blob
// (NTE_BAD_LEN when it is shorter than a header).
BLOBHEADER ReadBlobHeader(le::Reader& r);
void WriteBlobHeader(le::Writer& w, const BLOBHEADER& h);
DWORD BlobTypeOf(gost::ByteView blob);
// What every blob of ours has first: the header and a magic number.
struct KeyBlobHead {
    BLOBHEADER header{};
    DWORD magic = 0;
};
// A blob record: the head, then `fields(reader, record)` reads the rest;
// bytes running out anywhere is NTE_BAD_LEN. Nothing is checked beyond that.
template <class Blob, class Fields>
Blob ParseKeyBlob(gost::ByteView bytes, Fields&& fields) {
    try {
        le::Reader r(bytes);
        Blob b;
        b.header = ReadBlobHeader(r);
        b.magic = r.U32();
        fields(r, b);
        return b;
    } catch (const le::Error&) {
        Throw(NTE_BAD_LEN);
    }
}
template <class Fields>
IdentObj EncodeKeyBlob(const KeyBlobHead& head, Fields&& fields) {
    le::Writer w;
    WriteBlobHeader(w, head.header);
    w.U32(head.magic);
    fields(w);
    return w.Take();
}
// Public-key blob (type 6) and the DER of GOST public-key parameters.
IdentObj EncodeGostKeyParams(const std::string& paramSet, const std::string& hashParamSet);
bool DecodeGostKeyParams(gost::ByteView der, std::string& paramSet, std::string& hashParamSet);
IdentObj MakePublicKeyBlob(const KeyObj& k);
// Fills alg, paramSet, hashParamSet, publicRaw and key of `k` from a blob.
void ParsePublicKeyBlob(gost::ByteView blob, KeyObj& k);
std::string DefaultHashParamSet(gost::KeyAlg alg);

}  // namespace vrk

// ---------------------------------------------------------------------------
template <class F>
BOOL vrk::Guard(F&& body) {
    try {
        body();
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        SetLastError(CurrentExceptionWinError());
    }
    return FALSE;
}
