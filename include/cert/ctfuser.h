// A user's key container as the library reaches it: CCTFUser (open a
// container, cache its keys, find the key of a certificate, prove that a
// certificate and its key belong together, make, bind, copy and move keys)
// and the container descriptions CCTFContainer, CCTFContEntry,
// CCTFUserContainerInfo and CCTFUserKeyInfo, with CTFGetContainerList and
// CTFCopyKeys.
#pragma once

#include <list>
#include <string>

#include "cert/asnkeys.h"
#include "cert/certstore.h"
#include "cert/export.h"
#include "cert/secret.h"
#include "cert/tootime.h"

// ---- Containers --------------------------------------------------------
//
// Errors: the functions with `int* error, CTOOString* place` store the
// status (0 on success) and the failing step there, or throw XTOOStatus
// with both when `error` is null; the others throw XTOOStatus. Nothing else
// leaves them. A container that cannot be opened reports the provider's
// status (no such container, a damaged one, ...); one that opens but
// cannot tell about itself, and a key no loaded entry holds, report 194
// (TOOERR_NO_CONTAINER_INFO).

// One key of a container as its container information describes it, and
// the certificate that belongs to it.
class CERT_API CCTFUserKeyInfo {
public:
    CCTFUserKeyInfo() = default;
    CCTFUserKeyInfo(const CCTFUserKeyInfo&) = default;
    CCTFUserKeyInfo& operator=(const CCTFUserKeyInfo&) = default;
    virtual ~CCTFUserKeyInfo();

    bool IsCertExist() const { return m_certificate.IsInitialized(); }

    IdentObj m_keyId;               // SHA-1 of the key bits, as a subject key identifier holds it
    IdentObj m_algorithm;           // the key algorithm's OID text (no terminating zero)
    CTOOFileTime m_validity;        // end of the private key's period; empty when not known
    CCTFCertContext m_certificate;  // with the key-provider property naming this key

    DWORD m_keySpec = 0;  // AT_SIGNATURE or AT_KEYEXCHANGE
    ALG_ID m_algId = 0;
    CTOOString m_paramSet;       // public-key parameter set OID
    IdentObj m_publicKey;        // as the container holds it (GOST: X||Y little-endian)
    CTOOFileTime m_notBefore;    // when the key was made; empty when not known
    bool m_hasPassword = false;  // the key is sealed under a password
};

// The keys of one container.
class CERT_API CCTFUserContainerInfo {
public:
    CCTFUserContainerInfo() = default;
    CCTFUserContainerInfo(const CCTFUserContainerInfo&) = default;
    CCTFUserContainerInfo& operator=(const CCTFUserContainerInfo&) = default;
    virtual ~CCTFUserContainerInfo();

    std::list<CCTFUserKeyInfo> m_keys;
    CTOOString m_container;  // the unique (fully qualified) container name
    bool m_machine = false;
};

// A container's information record with the name that opens it from
// anywhere and whether it lies in the machine's key set.
class CERT_API CCTFContEntry : public ASNContainerInfo {
public:
    CCTFContEntry() = default;
    CCTFContEntry(const ASNContainerInfo& info, const CTOOString& uniqueName, bool machine);
    CCTFContEntry(const CCTFContEntry&) = default;
    CCTFContEntry& operator=(const CCTFContEntry&) = default;
    ~CCTFContEntry() override;

    // Every key of the record with its certificate: the one stored with the
    // key, else what the certificate search (CTFSetKeyCertificateSearch)
    // finds. Throws XTOOStatus.
    CCTFUserContainerInfo GetKeyInfo() const;

    CTOOString m_uniqueName;
    bool m_machine = false;
};

// A key container's description, read without opening its keys (no
// password is asked).
class CERT_API CCTFContainer {
public:
    CCTFContainer() = default;
    // Loads at once; a failure throws XTOOStatus.
    CCTFContainer(const char* name, bool machine);
    CCTFContainer(const CCTFContainer&) = default;
    // Reloads from the other's name and flag (what is on disk now); a
    // failure throws XTOOStatus and leaves this one as it was.
    CCTFContainer& operator=(const CCTFContainer& o);
    virtual ~CCTFContainer();

    // Empties the entries, keeps name and flag, then reads the container.
    bool Load(const char* name, bool machine, int* error = nullptr, CTOOString* place = nullptr);
    bool IsLoad() const { return !m_entries.empty(); }
    // The keys of every entry. Throws XTOOStatus.
    CCTFUserContainerInfo GetContainerInfo() const;
    // Deletes the container of the entry holding `key` (the key identifier
    // and key spec decide; an empty key info names an entry without keys)
    // and takes its names off the machine-wide container list; 194 when no
    // entry holds it.
    bool DeleteEntry(CCTFUserKeyInfo& key, int* error = nullptr, CTOOString* place = nullptr);

    const std::list<CCTFContEntry>& GetEntries() const { return m_entries; }
    const CTOOString& GetName() const { return m_name; }
    bool IsMachine() const { return m_machine; }

private:
    std::list<CCTFContEntry> m_entries;
    CTOOString m_name;
    bool m_machine = false;
};

// The names of the provider's containers (the user's or, with `machine`,
// the machine's), fully qualified when asked. Throws XTOOStatus.
CERT_API void CTFGetContainerList(std::list<CTOOString>& names, bool machine, bool fullyQualified);

// Where CCTFContEntry::GetKeyInfo looks for the certificate of a key that
// has none stored: the layer that keeps the storage list registers it.
// `found` is filled when a certificate of the key is known; the hook's
// failures mean "none". Returns the hook it replaces; null removes it.
using CTFKeyCertificateSearch = bool (*)(const CCTFUserKeyInfo& key, CCTFCertContext& found);
CERT_API CTFKeyCertificateSearch CTFSetKeyCertificateSearch(CTFKeyCertificateSearch hook);

// ---- The user ----------------------------------------------------------

// Statuses of the user's key calls: 28 no argument, 32 no key of the
// container matches the certificate, 36 key generation failed without a
// platform error, 42 no provider, 58 the key pair's signature does not
// verify, 73 unknown algorithm, 143 keys moved onto their own container,
// 194 a container that cannot tell about itself, 212 no certificate stored
// with the containers' keys (TOOERR_* in cert/tools.h), and the platform's
// last error through WinErr2ToolsErr.

// One user's key container with its keys.
//
// Errors: the methods that take `int* error` (and `CTOOString* place`)
// report by the foundation's rule: with `error` the status goes there (0 on
// success) and the failing step to `place`; without, a failure is thrown as
// XTOOStatus. No other exception leaves a method; those without `error`
// answer with their result only, except that running out of memory in a
// copy, a setter or MakeContainerName throws XTOOStatus 16.
//
// The key lock: GetUserKey, FindCertificate, GetCertificateList and
// PutCertificate hold the inter-process lock "CCTFUser_GetUserKey()"
// (exclusive), so that no two processes walk the containers at once; the
// thread that holds it may call them again.
//
// Thread safety: one object belongs to one thread at a time.
class CERT_API CCTFUser {
public:
    CCTFUser() = default;
    // A copy starts empty and takes the path, the password, the PIN and the
    // provider (shared) only: cached keys are never shared.
    CCTFUser(const CCTFUser& o);
    CCTFUser& operator=(const CCTFUser& o);
    // Destroys every cached key.
    ~CCTFUser();

    // Empties path, password and PIN, the certificate and public key, the
    // key cache, and drops the provider.
    void Reset();

    // Opens the container `path` (the provider chooses one when both the
    // password and the PIN are empty; `silent` is then ignored): 0x8 with
    // `create`, 0x40 with `silent`, 0x20 with `machine`. The two GOST R
    // 34.10-2012 key OIDs choose the providers of types 77 and 78; any other
    // algorithm keeps the type. Returns 0 or the status.
    int LogInUser(const char* path, const cert::Secret& password, const cert::Secret& pin, const char* algorithm,
                  bool create, bool silent, bool machine);
    // Opens `container` in the provider named (or chosen by `type`); with
    // 0x200 in `flags` the path becomes the provider's unique name of the
    // container. Returns 0 or the status.
    int OpenProvider(const char* container, const char* providerName, unsigned long type, unsigned long flags);

    void SetPath(const char* path);
    const CTOOString& GetPath() const { return m_path; }
    // Stored, and handed to the provider (33, 32) when not empty.
    void SetPassword(const cert::Secret& password);
    void SetPIN(const cert::Secret& pin);
    void SetKeyFlag(unsigned long flag) { m_keyFlag = static_cast<DWORD>(flag); }
    DWORD GetKeyFlag() const { return m_keyFlag; }
    DWORD GetProviderType() const { return m_provType; }
    HCRYPTPROV GetProvider() const { return m_provider.GetProviderHandle(); }
    // The default wrap key of private-key blobs (parameter 99): 0, 28 for
    // no key, 42 for no provider, or the provider's status.
    int SetDefenceKey(HCRYPTKEY key);
    // The public key of the last key pair CreateNewKeys made.
    const CCTFCertPublicKeyInfo& GetPublicKey() const { return m_publicKey; }

    // Whether a key of the container opens with the password and PIN given:
    // the signature key, else (unless that was cancelled, 1223) the
    // exchange key.
    bool CheckPassword() const;
    bool ChangePassword(const cert::Secret& newPassword, int* error);
    // 0 when the container's password may be changed, else the status.
    static int CanChangePassword(const char* container, bool machine);

    // For `kind` 1, a device path without a container part gets "sgn_cont";
    // any other path or kind comes back as it is.
    static CTOOString MakeContainerName(const char* path, unsigned long kind);

    // Without a certificate: the cached key at the cursor, else the key
    // `keySpec` of the container, cached. With one: the cached key, then the
    // container's key of the certificate's key spec, then the keys of the
    // provider's containers whose public key is the certificate's; 32 when
    // none is. The handle stays the cache's: do not destroy it. 0 on
    // failure.
    HCRYPTKEY GetUserKey(unsigned long keySpec, const CCTFCertContext* certificate, int* error,
                         CTOOString* place = nullptr) const;
    // Proves that the certificate's public key belongs to a key of the
    // container: signs random bytes with it and verifies the signature with
    // the certificate's key (58 when it does not verify). Non-zero on success.
    int CheckSignKeys(const CCTFCertContext& certificate, int* error, CTOOString* place = nullptr) const;
    // A new key pair; its public key stays in the object (GetPublicKey).
    // By algorithm OID (and parameter set, else the algorithm's default):
    // a signature key.
    int CreateNewKeys(const CTOOString& algorithm, const CTOOString& parameterSet, int* error,
                      CTOOString* place = nullptr);
    // Bit 0 of `exchange`: an exchange key, its parameter set following the
    // signature set given; else a signature key.
    int CreateNewKeys(unsigned long exchange, const CTOOString& parameterSet, int* error, CTOOString* place = nullptr);

    // The next certificate stored with a container's key (from the first
    // when `certificate` is empty), with its key-provider property; 0 and an
    // empty certificate at the end.
    int FindCertificate(CCTFCertContext& certificate) const;
    // Every certificate stored with the keys of the provider's containers.
    // Non-zero when there is one; an empty list reports the failure that
    // ended the walk, or 212.
    int GetCertificateList(std::list<CCTFCertContext>& certificates, int* error, CTOOString* place = nullptr) const;
    // Stores the certificate with the container's key whose public key is
    // the certificate's (32 when there is none). Non-zero on success.
    int PutCertificate(const CCTFCertContext& certificate, int* error, CTOOString* place = nullptr) const;

    // Moves every key of the container, with its certificate, into the new
    // container `destination` (made, its keys under `pin`, wrapped in
    // transit with `protectionKey`), deletes this container and opens the
    // new one. A failed step deletes the destination again. True on success.
    bool TransferKeys(const CTOOString& destination, const cert::Secret& pin, HCRYPTKEY protectionKey, int* error);

private:
    void DestroyKeys() const;
    // A cached key and its public key bits, exported when first compared:
    // they never change, and the walk compares them on every search.
    struct CachedKey {
        HCRYPTKEY handle;
        IdentObj publicBits;
    };
    HCRYPTKEY Cache(HCRYPTKEY key, const IdentObj& publicBits = IdentObj()) const;

    CCTFCertContext m_certificate;
    CCTFCertPublicKeyInfo m_publicKey;
    CCTFProvider m_provider;
    mutable std::list<CachedKey> m_keys;
    mutable std::list<CachedKey>::iterator m_cursor = m_keys.end();
    CTOOString m_path;
    cert::Secret m_password;
    cert::Secret m_pin;
    DWORD m_provType = 2;
    DWORD m_keyFlag = 0;
};

// Copies every key of the container `source`, with its certificate, into
// a new container `destination` (an empty name: one the provider names),
// wrapped in transit with a key made for the copy. An existing destination
// is refused (NTE_EXISTS) and left alone; a failed copy removes the
// destination it made. The passwords come from the provider's prompt
// (VRKSetPasswordPrompt): the source's to open its keys, the copy's for
// the new keys. `destinationName`, when given, receives the destination's
// full name. Returns 0 or the status.
CERT_API int CTFCopyKeys(const std::string& source, const std::string& destination, bool machine,
                         std::string* destinationName);
