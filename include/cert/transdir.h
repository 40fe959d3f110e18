// The transport directory: the library-wide state that names it (the
// folder, the application flag, the current certificate number), the
// storage list built from its files and from the system stores, the
// searches over that list, and the copies of certificates and CRLs into
// the system stores.
//
// Names under the transport directory are matched without regard to case:
// an existing file or folder is found in whatever case it was written, a
// new one gets the spelling given here ("_REM.CRL", "0001_trl.p7s").
//
// Errors: the functions with an `int* error` follow the library's rule
// (stored when given, else thrown as XTOOStatus with the place); the
// others throw XTOOStatus only where a comment says so and otherwise
// answer with an empty result. Files that do not open or load are skipped.
//
// Thread safety: the transport directory, the application flag and the
// certificate number are plain library-wide values: set them before other
// threads use the library. Everything else may run on several threads.
#pragma once

#include <list>

#include "cert/certstore.h"
#include "cert/export.h"
#include "cert/tools.h"

struct CCTFCertificateChain;

// Storage-list flags (CTFGetStorageList); the value also becomes the type
// of each storage returned.
constexpr unsigned long CTF_SL_TRUST = 0x1;
constexpr unsigned long CTF_SL_TRUST_OTHER = 0x2;
constexpr unsigned long CTF_SL_CRL_OWN = 0x4;
constexpr unsigned long CTF_SL_CRL_OTHER = 0x8;
constexpr unsigned long CTF_SL_OWN_USERS = 0x10;
constexpr unsigned long CTF_SL_EXT_USERS = 0x20;
constexpr unsigned long CTF_SL_OWN_INPUT = 0x40;
constexpr unsigned long CTF_SL_EXT_INPUT = 0x80;
constexpr unsigned long CTF_SL_OWN_REQUESTS = 0x100;
constexpr unsigned long CTF_SL_EXT_REQUESTS = 0x200;
constexpr unsigned long CTF_SL_EXT_CRL = 0x400;
constexpr unsigned long CTF_SL_EXT_BAD = 0x1000;
constexpr unsigned long CTF_SL_IN = 0x2000;
constexpr unsigned long CTF_SL_STAGING = 0x30C0;
constexpr unsigned long CTF_SL_SYSTEM = 0x10000000;
constexpr unsigned long CTF_SL_ALTERNATIVE = 0x20000000;
constexpr unsigned long CTF_SL_COMMON = 0x40000000;

// Application-flag bits.
constexpr unsigned long CTF_APP_NO_CRL_UNKNOWN = 0x1;      // no 0x40 for a missing CRL
constexpr unsigned long CTF_APP_SYSTEM_STORES = 0x2;       // search and update the system stores
constexpr unsigned long CTF_APP_SYSTEM_UNTRUSTED = 0x4;    // system roots are untrusted (0x20)
constexpr unsigned long CTF_APP_ALTERNATIVE = 0x20000000;  // the alternative layout

// The status of a step that needs the trust storage when none is loaded,
// with the place "m_VPN_TrustStorages".
constexpr int CTFERR_NO_TRUST_STORAGE = 42;
// UpdateCRLInStorage: the CRL's issuer is unknown (place "GD_RegCRLRequest "),
// or the stored CRL is not older.
constexpr int CTFERR_CRL_ISSUER_UNKNOWN = 212;
constexpr int CTFERR_CRL_NOT_NEWER = 143;

// ---------------------------------------------------------------------------
// Library-wide state.

// Keeps `dir` unless the collection holds storages and `dir` is the current
// directory ignoring case; a new directory marks the collection for
// reloading (its flags become 8) and sets the application flag to 2.
CERT_API void CTFSetTransDir(const CTOOString& dir);
// The directory, or ".\" while the collection holds no storage.
CERT_API CTOOString GetCurrentTransDir();
CERT_API CTOOString GetCurrentTrunsDir();
CERT_API void CTFSetAplicationFlag(unsigned long flag);
CERT_API unsigned long CTFGetAplicationFlag();

// The collection: its root storage and directory, a user storage, empty.
CERT_API void CTFLoadRootStorage(const CCTFCertStorage& root, const CTOOString& dir, unsigned long flag);
CERT_API void CTFLoadUserStorage(const CCTFCertStorage& storage);
CERT_API void CTFFreeRootStorage();
CERT_API bool CTFIsTrustStorageInit();

// The highest number found in the request-status files plus one (0 when
// none), computed once (again after a new transport directory or source);
// then counted up by CTFAddCurrentCertNumber.
CERT_API unsigned long CTFGetCurrentCertNumber();
CERT_API void CTFAddCurrentCertNumber();

namespace CertDll {
// The highest stored number of the request stores of the transport
// directory, or -1 when there is none: registered by the request layer.
using CertNumberSource = long long (*)();
CERT_API void SetCertNumberSource(CertNumberSource source);
}  // namespace CertDll

// ---------------------------------------------------------------------------
// Storages and searches.

// The storages selected by `flags` (CTF_SL_*), in the order of the steps;
// `userId` is the current user's four-character identifier (null: any).
// Throws XTOOStatus 42 "m_VPN_TrustStorages" where a step needs the root
// storage and the collection holds none.
CERT_API std::list<CCTFCertStorage> CTFGetStorageList(unsigned long flags, const char* userId);

// The first certificate with this serial (least significant byte first) in
// the storages of 0x10, 0x20, 0x1 and 0x2 among `flags`, each through its
// own storage list; empty when none.
CERT_API CCTFCertContext CTFFindCertificate(const IdentObj& serial, unsigned long flags);
// The certificate of the CRL's entry `index`; empty when there is none.
CERT_API CCTFCertContext CTFFindCertificate(const CCTFCRLContext& crl, unsigned long index);

// The storage's certificates, all for `filter` 0 or 0x73, otherwise by the
// error bits E of each one's chain: 0x2 E == 0, 0x10 E has 0x1, 0x20 E has
// 0x4, 0x80 E has 0x10000. A storage without handle throws XTOOStatus 42
// "CTFGetCertContextList".
CERT_API std::list<CCTFCertContext> CTFGetCertContextList(const CCTFCertStorage& storage, unsigned long filter);
// Every CRL of the storage; every CRL of the "*.p7?" and "*.crl" files of
// the folder.
CERT_API std::list<CCTFCRLContext> CTFGetCRLContextList(const CCTFCertStorage& storage);
CERT_API std::list<CCTFCRLContext> CTFGetCRLContextList(const char* folder);

// ---------------------------------------------------------------------------
// System stores and CRL installation.

// Adds the certificate to the system store its kind selects ("MY", "AddressBook",
// "CA", "Root"; 0x10 the machine's stores, 0x20 as encoded); the chain form
// adds the chain's certificates (bit 1) and their CRLs (bit 2) too. 1, or
// 0 with the status (17 a store that does not open) by the `error` rule,
// place "CTFAddCertToSystemStorage".
CERT_API int CTFAddCertToSystemStorage(const CCTFCertContext& cert, unsigned long flags, int* error);
CERT_API int CTFAddCertToSystemStorage(const CCTFCertificateChain& chain, unsigned long flags, int* error);
// Adds the CRLs that are current now to the "CA" or "Root" store holding
// their issuer, the user's and the machine's; failures go to the
// diagnostics log. 1 when the stores were reached.
CERT_API int CTFUpdateCrlInSystemStorage(const std::list<CCTFCRLContext>& crls);
// Installs the CRL into the loaded trust storages and their files
// (CCTFCertStorageCollection::UpdateCRLInStorage); 42 "m_VPN_TrustStorages"
// without them. 1 on success.
CERT_API int CTFUpdateCRLContext(const CCTFCRLContext& crl, int* error, CTOOString* place);
// Hands the CRL to the CRL cache when it runs.
CERT_API void CTFUpdateCacheCrl(const CCTFCRLContext& crl);
