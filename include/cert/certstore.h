// The owning wrappers of the platform's certificate objects: one
// certificate (CCTFCertContext), one CRL (CCTFCRLContext), one store
// (CCTFCertStorage: in memory, a system store, a serialized blob or a file)
// and one provider handle on a key container (CCTFProvider), with the
// container-list functions (CSP*), CTFConvertPublicKeyInfo and
// CTFGetStorageType.
//
// Errors, for this header. The wrappers answer as the platform calls under
// them do: a BOOL/bool/int result and the thread's last error. They throw
// XTOOStatus only where a comment says so (CCTFCRLContext::GetSerialNumber,
// CCTFProvider without an `int* error`, the CSP* functions,
// CTFConvertPublicKeyInfo); no other exception type leaves a function
// declared here, and out of memory inside a method that answers with a
// result is that result's failure with the last error E_OUTOFMEMORY.
//
// Byte orders. Certificate serial numbers are least significant byte first,
// as CERT_INFO holds them; a CRL's number is its INTEGER content in encoded
// order (capi.h says why); key identifiers keep their encoded order.
//
// File stores. Every CCTFCertStorage opened on one file (providers 7 and 8)
// shares one platform store, kept by a process-wide factory under the
// file's absolute, normalised path, in which existing folders and the file
// are matched without regard to case. A second opening with other flags
// fails with status 195 while the first is alive. Changes reach the file
// when the last storage on it closes, if it was opened with the commit flag.
//
// Thread safety: a wrapper object belongs to one thread at a time; the
// platform objects under them are counted and locked by the platform layer,
// so copies may go to other threads. The searches take the library's
// storage lock (CertDll::StorageLock) for reading.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "cert/capi.h"
#include "cert/certmodel.h"
#include "cert/export.h"
#include "cert/platform.h"
#include "cert/tools.h"
#include "cert/tootime.h"

class CCTFCRLContext;

namespace vrks::certificate {
class CTFStorageImpl;
}

// The status of opening a file store again with other flags.
constexpr int CTFERR_STORAGE_OTHER_FLAGS = 195;
// The status of a CRL whose next update has passed.
constexpr int CTFERR_CRL_EXPIRED = 223;
// CCTFProvider: a container that cannot be asked, one whose keys are not
// under a password.
constexpr int CTFERR_NO_CONTAINER_INFO = TOOERR_NO_CONTAINER_INFO;
constexpr int CTFERR_PASSWORD_NOT_CHANGEABLE = 156;
// CSPRemoveContainerFromList: the container could not be deleted.
constexpr int CTFERR_CONTAINER_NOT_DELETED = 43;

// The check bits between issuer searches (the platform's
// CertGetIssuerCertificateFromStore convention, and the library's own).
constexpr DWORD CTF_CHECK_SIGNATURE = 0x1;
constexpr DWORD CTF_CHECK_TIME = 0x2;
constexpr DWORD CTF_CHECK_REVOCATION = 0x4;
constexpr DWORD CTF_CHECK_UNTRUSTED_ROOT = 0x20;
constexpr DWORD CTF_CHECK_NO_CRL = 0x10000;
constexpr DWORD CTF_CHECK_NO_ISSUER = 0x20000;

// ---------------------------------------------------------------------------
// One certificate. Copies duplicate the platform context.
class CERT_API CCTFCertContext {
public:
    CCTFCertContext() = default;
    // Duplicates `context` (null: empty).
    explicit CCTFCertContext(PCCERT_CONTEXT context);
    // CreateContext; an input that does not decode leaves the object empty.
    CCTFCertContext(const IdentObj& encoded, unsigned long unused = 0, const void* unusedToo = nullptr);
    CCTFCertContext(const CCTFCertContext& o);
    CCTFCertContext& operator=(const CCTFCertContext& o);
    CCTFCertContext(CCTFCertContext&& o) noexcept;
    CCTFCertContext& operator=(CCTFCertContext&& o) noexcept;
    virtual ~CCTFCertContext();

    // Decodes one DER certificate (CertCreateCertificateContext, encoding
    // 0x10001); the private key type becomes -1. False with the last error.
    bool CreateContext(const IdentObj& encoded, unsigned long unused = 0, const void* unusedToo = nullptr);
    void Reset();

    bool IsInitialized() const;
    PCCERT_CONTEXT GetContext() const { return m_context; }
    // The certificate's DER, empty without a context.
    IdentObj GetEncoded() const;

    // The type of the storage the context was found in (0 for one built
    // from a blob or a platform context).
    DWORD GetStorageType() const { return m_storageType; }
    void SetStorageType(DWORD type) { m_storageType = type; }

    // Same context or equal encodings; otherwise ordered by encoded length,
    // then bytes; an empty context sorts first.
    bool operator==(const CCTFCertContext& o) const;
    bool operator!=(const CCTFCertContext& o) const { return !(*this == o); }
    bool operator<(const CCTFCertContext& o) const;
    bool operator>(const CCTFCertContext& o) const { return o < *this; }

    // The platform's property calls (size protocol of capi.h); a successful
    // set refreshes the cached key-provider property.
    BOOL CCTFGetContextProperty(DWORD id, void* buffer, DWORD* size) const;
    BOOL CCTFSetContextProperty(DWORD id, DWORD flags, const void* data);

    // The key-provider property (2), read on first use and kept, or null.
    const CRYPT_KEY_PROV_INFO* GetProviderInfo() const;
    // Its texts as UTF-8, empty when absent; its type and key
    // spec, 0xFFFFFFFF when absent.
    CTOOString GetProviderName() const;
    CTOOString GetContainer() const;
    DWORD GetProviderType() const;
    DWORD GetPrivateKeyType() const;
    // Writes the key-provider property with the container or the key
    // spec changed (from a zeroed one when there is none).
    bool SetContainer(const char* container);
    bool SetPrivateKeyType(DWORD keySpec);

    // "2.5.29.14"'s key identifier, else the key's (SHA-1 of the key bits).
    IdentObj GetSubjectKeyId() const;
    bool GetSubjectKeyID(IdentObj& out) const;
    // The authority key identifier ("2.5.29.35", else "2.5.29.1"); false
    // when the certificate has neither.
    bool GetAuthKeyIDExtension(CCTFIssuerPublicKeyID* out) const;
    bool GetIssuerKeyID(IdentObj& out) const;
    bool GetIssuerSerialNumber(IdentObj& out) const;
    // Least significant byte first.
    bool GetSubjectSerialNumber(IdentObj& out) const;
    CCTFX509Name GetSubjectName() const;
    CCTFX509Name GetIssuerName() const;

    // False only without a context.
    bool CheckPresenceOfAuthKeyIDExtension(bool& present) const;
    bool CheckPresenceOfCDPExtension(bool& present) const;
    // The certificate may issue: "2.5.29.10"'s subject type is exactly the
    // CA bit, "2.5.29.19" says CA, or its subject is its issuer (bytes).
    bool CheckWhetherItIsIssuerContext(bool& isIssuer) const;
    // -1 without a context; 3 self-issued CA, 2 CA, 1 otherwise.
    int GetCertificateType() const;
    bool IsSelfIssued() const;

    // 1 when `at` (now when null) lies in NotBefore..NotAfter inclusive.
    int IsValidTime(const CTOOFileTime* at = nullptr) const;
    // 1 when the issuer's key verifies this certificate's signature.
    int IsValidSignature(const CCTFCertContext& issuer) const;
    // 1 when the CRL lists this certificate's serial number.
    int IsRevoked(const CCTFCRLContext& crl) const;

private:
    void DropProviderCache() const;

    PCCERT_CONTEXT m_context = nullptr;
    DWORD m_storageType = 0;
    DWORD m_privateKeyType = 0xFFFFFFFFu;
    mutable IdentObj m_providerInfo;  // the property as one blob, filled on demand
    mutable bool m_providerRead = false;
};

// The raw signature of a certificate as its signed-content structure holds
// it (least significant byte first); empty when it does not decode.
CERT_API std::vector<unsigned char> GetCertSignature(const CERT_CONTEXT* cert);

// ---------------------------------------------------------------------------
// One CRL. Copies duplicate the platform context.
class CERT_API CCTFCRLContext {
public:
    CCTFCRLContext() = default;
    explicit CCTFCRLContext(PCCRL_CONTEXT context);
    CCTFCRLContext(const IdentObj& encoded, unsigned long encoding = CAPI_ENCODING);
    CCTFCRLContext(const CCTFCRLContext& o);
    CCTFCRLContext& operator=(const CCTFCRLContext& o);
    CCTFCRLContext(CCTFCRLContext&& o) noexcept;
    CCTFCRLContext& operator=(CCTFCRLContext&& o) noexcept;
    ~CCTFCRLContext();

    // False for an empty blob or one that does not decode (last error).
    bool CreateCRLContext(const IdentObj& encoded, unsigned long encoding = CAPI_ENCODING);
    void Reset();
    bool IsInitialized() const;
    PCCRL_CONTEXT GetContext() const { return m_context; }
    IdentObj GetEncoded() const;

    bool operator==(const CCTFCRLContext& o) const;
    bool operator!=(const CCTFCRLContext& o) const { return !(*this == o); }

    // The authority key identifier's key id ("2.5.29.35"), empty without.
    IdentObj GetIssuerKeyId() const;
    // The first entry whose serial has exactly these bytes (least
    // significant first, as the entries hold them), or null; valid while
    // the context is. The index behind it is built on the first lookup and
    // shared by the copies of this context; lookups may run on several
    // threads at once.
    const CRL_ENTRY* FindEntry(const BYTE* serial, DWORD size) const;
    // The CRL number's INTEGER content in encoded order (empty without the
    // extension), decoded once; throws XTOOStatus 42 "CCTFCRLContext"
    // without a context.
    const IdentObj& GetSerialNumber();
    // The stored status when non-zero; 42 without a context; 223, kept,
    // once the next update has passed; 0 otherwise (also without a next
    // update).
    int GetCheckStatus();
    // Removes the CRL from its store and forgets it: the platform frees the
    // context it is given, so this object must not free it again.
    bool DeleteCRLFromStore();

    const CTOOString& GetText() const { return m_text; }
    void SetText(const CTOOString& text) { m_text = text; }

private:
    struct SerialIndex;
    const SerialIndex& Serials() const;

    PCCRL_CONTEXT m_context = nullptr;
    mutable std::atomic<std::shared_ptr<const SerialIndex>> m_serials;
    int m_checkStatus = 0;
    CTOOString m_text;
    IdentObj m_number;
    bool m_numberRead = false;
};

// ---------------------------------------------------------------------------
// One store. Copies duplicate the store handle and share a file store.
class CERT_API CCTFCertStorage {
public:
    CCTFCertStorage() = default;
    CCTFCertStorage(const CCTFString& name, const char* provider, unsigned long flags, unsigned long type, void* para);
    CCTFCertStorage(const CCTFCertStorage& o);
    CCTFCertStorage& operator=(const CCTFCertStorage& o);
    // Closes without force.
    ~CCTFCertStorage();

    // Closes what is open, then by store provider: 2 memory, 7/8 a file
    // through the factory (the name is the path), 6 a serialized blob in
    // `para`, any other with the name (10 gets it as UTF-16). Non-zero on
    // success; on failure the status word holds the last error.
    int OpenStorage(const CCTFString& name, const char* provider, unsigned long flags, unsigned long type, void* para);
    // False when the platform close failed (a file store whose commit
    // failed: its old file stays whole); the last error says why.
    bool CloseStorage(bool force = false);

    bool IsOpen() const { return m_store != nullptr; }
    HCERTSTORE GetHandle() const { return m_store; }
    DWORD GetType() const { return m_type; }
    void SetType(DWORD type) { m_type = type; }
    // Non-zero: self-signed certificates of this storage are not trusted
    // (0x20), or the last error of a failed open.
    int GetStatus() const { return m_status; }
    void SetStatus(int status) { m_status = status; }
    const CCTFString& GetName() const { return m_name; }
    CCTFCertStorage* GetPtr() { return this; }

    // Dispositions: 3 replace; the list 2 keep existing (result the OR);
    // the encoded certificate 5 replace keeping properties; the encoded CRL
    // 4 always.
    BOOL AddCertificate(const CCTFCertContext& cert);
    BOOL AddCertificateList(const std::list<CCTFCertContext>& certs);
    BOOL AddEncodetCertificate(const IdentObj& encoded, unsigned long encoding = CAPI_ENCODING);
    BOOL AddCRLContext(const CCTFCRLContext& crl, unsigned long disposition);
    BOOL AddEncodetCRL(const IdentObj& encoded, unsigned long encoding = CAPI_ENCODING);
    // Deletes this storage's copy of the certificate or CRL.
    BOOL DeleteCertificate(const CCTFCertContext& cert);
    BOOL DeleteCRL(const CCTFCRLContext& crl);
    // Deletes every certificate.
    BOOL Clear();

    // Appends every match to `out`, each with this storage's type. Find
    // type 0xB0000 takes a CCTFCertInfo template: serial number, issuer,
    // subject, subject key identifier, notBefore and notAfter, each
    // compared when set; a subject that is one "1.3.6.1.4.1.311.10.7.1"
    // attribute (without serial and issuer) is a key identifier. Other
    // types go to CertFindCertificateInStore with `para`. True when the
    // search ran (also with no match).
    bool FindCertList(std::list<CCTFCertContext>& out, unsigned long findType, const void* para) const;
    // `*flags`' low three bits ask for checks (0: all); passed ones are
    // cleared, 0x10000 no CRL, 0x20 untrusted self-signed issuer, 0x20000
    // no issuer (result 0). 1 with `issuer` (and `crl`) set. The first
    // candidate that passes is taken, else the first met; at most 32
    // candidates of the issuer's name (and key identifier) are tried, so a
    // store crowded with look-alikes costs bounded work.
    int FindIssuerCertificate(const CCTFCertContext& subject, CCTFCertContext& issuer, unsigned long* flags,
                              CCTFCRLContext* crl) const;
    // The newest CRL of `issuer` whose signature its key verifies: 1 found.
    int GetCrlFromStorage(const CCTFCertContext& issuer, CCTFCRLContext& crl) const;
    // The next CRL after `previous` (CertGetCRLFromStore with `para` as the
    // issuer's PCCERT_CONTEXT, or null for any); empty at the end.
    CCTFCRLContext FindCRLInStore(DWORD findFlags, const void* para, const CCTFCRLContext& previous) const;
    // Every CRL of the store, in order.
    std::list<CCTFCRLContext> GetCRLList() const;

private:
    HCERTSTORE m_store = nullptr;
    DWORD m_type = 0;
    int m_status = 0;
    CCTFString m_name;
    boost::shared_ptr<vrks::certificate::CTFStorageImpl> m_impl;
};

// ---------------------------------------------------------------------------
// A counted provider handle: released (VRKReleaseContext) with its last
// reference.
class CERT_API CCTFHProv : public CTOOReference {
public:
    explicit CCTFHProv(HCRYPTPROV hProv) : m_hProv(hProv) {}
    ~CCTFHProv() override;
    HCRYPTPROV Handle() const { return m_hProv; }

private:
    HCRYPTPROV m_hProv;
};

// A provider handle on a key container; copies share the handle.
class CERT_API CCTFProvider {
public:
    CCTFProvider() = default;
    CCTFProvider(const CCTFProvider& o);
    CCTFProvider& operator=(const CCTFProvider& o);
    ~CCTFProvider();

    // Opens the container; without a name the provider follows the type (0
    // and 2 the GOST provider, 77 and 78 the 2012 ones). A failure goes to
    // *error as WinErr2ToolsErr gives it, or is thrown as XTOOStatus with
    // the container's name as the place.
    bool Init(const char* container, const char* provider, unsigned long type, unsigned long flags, int* error);
    void Reset();
    HCRYPTPROV GetProviderHandle() const { return m_holder ? m_holder->Handle() : 0; }

    // 0 when the password may be changed; 194 without a handle or a
    // container to ask, 156 when its keys are not under a password.
    int CanChangePassword() const;
    // The rule of Init, the place "CCTFProvider::ChangePassword".
    bool ChangePassword(const char* newPassword, int* error);
    bool SetPassword(const char* password);
    // The unique container name; empty on failure, reported with the place
    // "CCTFProvider::GetContainerName".
    CTOOString GetFullContainerName(int* error) const;

private:
    CCTFHProv* m_holder = nullptr;
};

// ---------------------------------------------------------------------------
// The machine-wide container list. Failures throw XTOOStatus.
CERT_API void CSPAddContainer(const char* path, HWND window = nullptr);
CERT_API std::vector<CTOOString> CSPGetContanerList();
CERT_API void CSPRemoveContainerFromList(const char* path, bool deleteKeys);
CERT_API bool CSPIsPasswordSaved(const char* container, bool machine);
CERT_API void CSPRemoveSavedPassword(const char* container, bool machine);

CERT_API unsigned long CTFGetStorageType(CCTFCertContext& context);

// A GOST public key as the provider's public-key blob: a 16-byte header
// (0x1006, the algorithm id, "MAG1", the key length in bits), the
// parameters' DER and the key bytes. Throws XTOOStatus 73
// "CTFConvertPublicKeyInfo" for an algorithm the registry does not know.
CERT_API IdentObj CTFConvertPublicKeyInfo(const CCTFCertPublicKeyInfo& info);
