// Certificate verification: the storage collection that keeps the trust
// storages of the transport directory loaded, the chain engine that builds
// a certificate's chain up to a trusted root through the CRL cache, the
// trust storages, an additional storage, the system stores and a caller's
// search, and the exported checks over it.
//
// Bits. Between issuer searches the check bits of certstore.h travel
// (CTF_CHECK_*: 0x1 signature, 0x2 time, 0x4 revocation still to confirm or
// revoked, 0x10000 no CRL, 0x20000 no issuer, 0x20 untrusted self-signed
// issuer). A chain records the trust error bits of capi.h
// (CERT_TRUST_*) per element and, ORed, for the whole chain; 0x80 (cyclic)
// and 0x10000 (partial) belong to the chain alone.
//
// Errors: the collection and the engine never throw; they answer with
// their results. The exported functions follow the comment on each.
//
// Thread safety: the collection is library-wide and may be searched from
// several threads at once; its lists load lazily inside searches, under
// the library's storage lock for writing only while a loaded list is
// entered. A chain engine belongs to one thread.
#pragma once

#include <list>
#include <memory>
#include <vector>

#include "cert/capi.h"
#include "cert/certstore.h"
#include "cert/export.h"
#include "cert/tools.h"
#include "cert/tootime.h"

// One certificate of a chain: its issuer (empty at the end of a partial
// chain), its trust status and the CRL that decided its revocation.
struct CCTFChainElement {
    CCTFCertContext cert;
    CCTFCertContext issuer;
    CERT_TRUST_STATUS status{0, 0};
    CCTFCRLContext crl;
};

// The chain from the certificate itself towards the root.
struct CERT_API CCTFCertificateChain {
    std::list<CCTFChainElement> elements;
    bool fromCache = true;  // every element came from the CRL cache
    CERT_TRUST_STATUS status{0, 0};
    FILETIME time{0, 0};  // when it was finished, universal time

    void Clear();
};

// ---------------------------------------------------------------------------
// The trust storages of the transport directory (one library-wide instance,
// CTFGetStorageCollection). A storage is named by the bare file name of its
// list ("0001_trl.p7s"); the root storage's first four characters are the
// own node's identifier.
class CERT_API CCTFCertStorageCollection {
public:
    CCTFCertStorageCollection();
    ~CCTFCertStorageCollection();
    CCTFCertStorageCollection(const CCTFCertStorageCollection&) = delete;
    CCTFCertStorageCollection& operator=(const CCTFCertStorageCollection&) = delete;

    // Under the storage lock: `root` becomes the only storage, the root
    // storage; `dir` the directory; allLoaded and the flags are cleared.
    void Init(const CTOOString& dir, const CCTFCertStorage& root);
    void Reset();
    void AddUsersSertificate(const CCTFCertStorage& storage);
    bool IsInit() const;
    bool IsLoad(const char* name) const;
    // Loads "<dir>\d_station\<name>" (no "\d_station" with the alternative
    // layout) as a protected trust list, with the CRLs of its "_REM.CRL"
    // file, and appends it named `name`. 0 with `status` set (4: missing)
    // when it cannot be loaded, else 1 (also when it is loaded already).
    // No lock is held while the file is read and its protection checked; a
    // thread wanting a list another thread reads waits for it, so no list is
    // read twice. A protection check asking for its own list, or for one
    // whose reader waits (directly or through others) for a list this
    // thread reads, finds it not available (4): checks never wait in a circle.
    int Load(const char* name, XTOOStatus* status);
    // Every "*.p7s", then (not in the alternative layout) "*.trl" list.
    void LoadAll();
    // A copy of the storage of that name or store handle: 1, or 0.
    int FindStorage(const char* name, CCTFCertStorage& out) const;
    int FindStorage(HCERTSTORE handle, CCTFCertStorage& out) const;
    // A snapshot of the loaded storages, the root storage first.
    std::list<CCTFCertStorage> GetStorages() const;
    // The root storage: 1, or 0 when there is none.
    int GetRootStorage(CCTFCertStorage& out) const;

    // The issuer of `subject` in the root storage, the subject's node list
    // ("<id>_trl.p7s", "<id>.trl") and the common list ("0000_trl.p7s"),
    // with the CCTFCertStorage::FindIssuerCertificate convention.
    int FindIssuerCertificate(const CCTFCertContext& subject, CCTFCertContext& issuer, unsigned long* flags,
                              CCTFCRLContext* crl);
    // Installs a CRL: its issuer the first certificate of the loaded
    // storages (all are loaded first) that the authority key identifier
    // names (issuer and serial, else key identifier, else name) and whose
    // key verifies it (else 212 "GD_RegCRLRequest "); newer than the stored
    // one of that issuer (else 143), which it replaces in the storage, then
    // the node's "_rem.crl" file when there is one, the list file (a PKCS #7
    // list; other processes' CRLs in it stay) and, with the application
    // flag's 0x2, the system stores. A refused CRL (28, 212, 143) writes
    // nothing. The `error` rule; true for code 0.
    bool UpdateCRLInStorage(const CCTFCRLContext& crl, int* error, CTOOString* place);
    // The first certificate of the loaded storages matching `info`
    // (subject-certificate find): 1, or 0.
    int FindSubjectCertificate(const CCTFCertInfo& info, CCTFCertContext& out) const;

    // The directory given to Init or CTFSetTransDir, and the flags (8 after
    // a new directory: the storages are to be loaded again). With 8 set,
    // the next Load, LoadAll or search that loads drops every storage Load
    // entered (the root storage and the users' stay), clears allLoaded and
    // the 8, and so reads the new directory's lists.
    CTOOString GetTransDir() const;
    void SetTransDir(const CTOOString& dir);
    unsigned long GetFlags() const;
    void SetFlags(unsigned long flags);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The library-wide collection (the frame's storage-collection slot).
CERT_API CCTFCertStorageCollection& CTFGetStorageCollection();

// ---------------------------------------------------------------------------
// A caller's last issuer search: bit 0x10 of the result with `issuer` set
// means found.
using CTFIssuerSearchCallback = unsigned long (*)(const CCTFCertContext& subject, CCTFCertContext& issuer,
                                                  CCTFCRLContext& crl, void* context);

class CERT_API CCTFChainEngine {
public:
    CCTFChainEngine();
    virtual ~CCTFChainEngine();
    CCTFChainEngine(const CCTFChainEngine&) = delete;
    CCTFChainEngine& operator=(const CCTFChainEngine&) = delete;

    // Builds the chain of `cert` with the checks `*flags` (7 when null) and
    // the additional storage. False only without a certificate; a chain
    // that reaches no root comes back with 0x10000, and so does one longer
    // than 128 certificates (cut there). A CRL, whatever its source (the
    // cache, a download, the caller's search), decides only when the
    // issuer's key verifies it; a self-issued certificate with a valid
    // self-signature is never answered from the cache.
    bool GetCertificateChain(const CCTFCertContext& cert, CCTFCertificateChain& chain, unsigned long* flags,
                             const CCTFCertStorage* additional);
    void SetCallbackForCertStoreSearch(CTFIssuerSearchCallback callback, void* context);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// ---------------------------------------------------------------------------
// Exported checks. None of them throws.

// A fresh engine builds the chain; the result of GetCertificateChain.
CERT_API bool CTFVerifyCertificate(const CCTFCertContext& cert, CCTFCertificateChain& chain, unsigned long* flags,
                                   const CCTFCertStorage* additional);
// The chain's status with the default checks; whether it was built.
CERT_API bool CTFVerifyCertificate(const CCTFCertContext& cert, CERT_TRUST_STATUS& status);
// The chain built now (with `crlStorage` as additional storage) and judged
// at `at`; true when no error bit is left.
CERT_API bool CTFVerifyCertificateEx(const CCTFCertContext& cert, const CTOOFileTime& at, CERT_TRUST_STATUS& status,
                                     CCTFCertStorage* crlStorage);
// Judges the chain again at `at`: time, and revocation by the element's CRL
// (or the issuer's CRL in `crlStorage` valid at `at`); 0x10000 and 0x80
// stay. True when no error bit is left.
CERT_API bool CTFCorrectChainStatus(CCTFCertificateChain& chain, const CTOOFileTime& at, CCTFCertStorage* crlStorage);
// The platform's subject-verification convention: the checks asked in
// `*flags` (0x1 signature, 0x2 time, 0x4 revocation against `crlStorage`)
// are cleared when they pass, 0x10000 when no CRL is found. 0 with the
// thread's error 87 without both contexts, 0x800B0006 for a subject that
// does not decode; else 1.
CERT_API int CTFVerifySubjectCertificateContext(const CCTFCertContext& subject, const CCTFCertContext& issuer,
                                                unsigned long* flags, CCTFCertStorage* crlStorage, CCTFCRLContext* crl);
// The extended-key-usage OIDs valid for all certificates; `anyUsage` when
// none restricts.
CERT_API void CTFCertGetValidUsages(const std::vector<CCTFCertContext>& certs, std::list<CTOOString>& usages,
                                    bool& anyUsage);
