// A user's key container as the library reaches it: CCTFUser (open a
// container, cache its keys, find the key of a certificate, prove that a
// certificate and its key belong together, make, bind, copy and move keys)
// and the container descriptions CCTFContainer, CCTFContEntry,
// CCTFUserContainerInfo and CCTFUserKeyInfo, with CTFGetContainerList and
// CTFCopyKeys.
#pragma once

#include <list>

#include "cert/asnkeys.h"
#include "cert/certstore.h"
#include "cert/export.h"
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
