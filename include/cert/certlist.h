// Certificate list files and protected trust lists.
//
// A list file holds certificates (and, in the PKCS #7 form, CRLs) that are
// loaded into an in-memory store and written back. Two forms exist: the
// PKCS #7 form (one DER SignedData whose certificate and CRL sets are the
// list) and the record form (a 12-byte common header, a header of
// four-character tagged records, the certificate records). The form is
// told by the content on reading and by the file version on writing (16:
// PKCS #7). Layouts in docs/FORMATS.md, "Certificate list files".
//
// CCTFCertList is the plain list; CCTFTrustRootCertList adds a MAC or a
// signature over the certificates, computed on writing and checked on
// loading (a failed check never fails the load: the protect status says
// why). CCTFCRLFileList is one CRL file with the verdict on its signature.
//
// Every length and count of a record-form file is checked against the
// bytes left (sums in 64 bits); a file that does not add up is 74.
//
// Writing takes the inter-process lock of the list's path, reads the file
// again when this object loaded it, applies this object's changes since
// its load to what it finds, and renames a synced work copy over the file:
// two processes adding to one list keep both additions, and a reader sees
// the old list or the new one, never half of either.
//
// Errors: LoadFile throws XTOOStatus (code, file name); WriteFile returns
// the code; ReadObject follows the `int* error` rule. No other exception
// leaves these classes.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "cert/certstore.h"
#include "cert/crlmodel.h"
#include "cert/export.h"
#include "cert/signeddata.h"
#include "cert/tools.h"

// Status codes of the list files beyond the foundation's names.
constexpr int CTFERR_LIST_NOLENGTH = 51;         // the file's length cannot be taken
constexpr int CTFERR_LIST_BACKUP = 64;           // the old file could not be kept aside
constexpr int CTFERR_LIST_RESTORE = 124;         // the old file could not be put back
constexpr int CTFERR_LIST_NO_SIGNER_CERT = 138;  // the signer's certificate is nowhere
constexpr int CTFERR_LIST_NO_SIGNER = 140;       // a PKCS #7 list without signer
constexpr int CTFERR_LIST_NOT_VALID = 98;        // signature or signer certificate not valid
constexpr int CTFERR_LIST_NO_RESULT = 194;       // no verification result
// The protect status of a list whose signature or MAC check failed.
constexpr int CTF_TRUST_E_NOSIGNATURE = static_cast<int>(0x80096004u);
// The storage's status word of a list whose protection did not verify.
constexpr int CTF_STORAGE_UNTRUSTED = 0x20;

// File versions of the list classes.
constexpr unsigned long CTF_LIST_VERSION_PKCS7 = 16;
constexpr unsigned long CTF_LIST_VERSION_MAC = 1;

// Protection algorithms of trust lists.
constexpr const char CTF_OID_LIST_MAC_A[] = "1.3.6.1.4.1.40321.2.1.1.4";
constexpr const char CTF_OID_LIST_MAC_Z[] = "1.3.6.1.4.1.40321.2.1.1.3";

namespace CertDll {

// What checking a signed PKCS #7 trust list needs from the upper parts
// (the storage list, the signed-data verifier, the chain engine). The
// library's own is in use from load; with none registered there are no
// trust storages and no verification: a signed list checks as 194, never
// as verified.
class CERT_API TrustListVerifier {
public:
    virtual ~TrustListVerifier();
    // The trust storages (the storage list of kind 1). 0, or the code; 42
    // (no trust storage) counts as none.
    virtual int GetStorages(std::list<CCTFCertStorage>& out) = 0;
    // Verifies the signed data `file` against the certificates of
    // `signers`: 0 with the first result's status in *signerStatus and its
    // certificate in `signer`; 194 without a result; else the code.
    virtual int VerifySignedData(const IdentObj& file, CCTFCertStorage& signers, int* signerStatus,
                                 CCTFCertContext& signer) = 0;
    // The trust error of the certificate's chain, 0 when trusted.
    virtual int VerifyCertificate(const CCTFCertContext& cert) = 0;
};
// Replaces the verifier (null: none). The object must outlive its use.
CERT_API void SetTrustListVerifier(TrustListVerifier* verifier);

}  // namespace CertDll

// ---------------------------------------------------------------------------
class CERT_API CCTFCertList {
public:
    CCTFCertList();
    explicit CCTFCertList(const char* path);
    // Copies duplicate the provider context, key and hash: nothing is
    // released twice. The storage handle is duplicated (one store).
    CCTFCertList(const CCTFCertList& o);
    CCTFCertList& operator=(const CCTFCertList& o);
    virtual ~CCTFCertList();

    // Loads the named file (either form) into the storage, which is
    // cleared first. Throws XTOOStatus (code, file name).
    virtual void LoadFile();
    virtual void SetNewFileName(const char* path);
    virtual void SetPurposeCode(unsigned long code);
    virtual unsigned long GetPurposeCode() const;
    virtual void SetFileVersion(unsigned long version);
    virtual void SetProtectionFlag(int on);
    virtual unsigned long GetCertificateAmount() const;
    virtual CCTFCertStorage* ReturnStorage() const;
    // 0 or the code; on failure `errorFile` (when given) names the file
    // concerned. The old file stays whole on any failure.
    virtual int WriteFile(CTOOString* errorFile);
    // The header records (H bytes); 0 or 74 (73: unknown signature
    // algorithm).
    virtual int ParseHeader(const unsigned char* header, unsigned long size);
    // From "CINF" on; *consumed the bytes up to the end of the sizes.
    virtual int ParseHeaderCertPart(const unsigned char* data, unsigned long size, unsigned long* consumed);
    // The protection block; the plain list skips it and turns protection
    // off.
    virtual int ParseProtectInfo(const unsigned char* data, unsigned long size, unsigned long* consumed);
    // The certificate records of the file being loaded.
    virtual int LoadCertificates();
    // The certificate records at `data` (the first record first); an image
    // shorter than the sizes say is 74.
    virtual int LoadCertificatesFromBlob(const unsigned char* data, unsigned long length);
    virtual int CheckProtection();
    virtual unsigned long GetSizeForProtectionFields() const;
    virtual int CreateFileHeader(IdentObj& header, CTOOString* errorFile);
    // Purpose, version, header length into out[0..2].
    virtual void CreateCommonHeader(unsigned long* out, unsigned long headerLength);
    // Throws XTOOStatus 28 when the block does not fit.
    virtual unsigned long PutProtectInfoToHeader(unsigned char* buffer, unsigned long size);
    virtual int PutProtectInfo();

    // A record-form image from memory.
    bool ReadObject(const unsigned char* data, unsigned long length, int* error);
    int GetProtectStatus() const { return m_protectStatus; }
    // The result of the last protection check (0 before any).
    int GetCheckResult() const { return m_checkResult; }
    unsigned long GetFileVersion() const { return m_fileVersion; }
    const IdentObj& GetUserId() const { return m_userId; }
    void SetUserId(const IdentObj& id) { m_userId = id; }
    const CTOOString& GetFileName() const { return m_fileName; }
    // The signed data of a PKCS #7 list (its signer infos survive writing).
    CCTFSignData& GetSignData() { return m_signData; }
    int GetProtectionFlag() const { return m_protect; }

protected:
    bool AcquireProvider();
    void DestroyHash();
    void ReleaseHandles();
    void CopyFrom(const CCTFCertList& o);
    // The records of the file from the certificate offset on.
    int LoadRecordImage(const unsigned char* data, std::uint64_t size);
    int LoadPkcs7(const unsigned char* data, std::size_t size);
    int WriteLocked(CTOOString* errorFile);
    int BuildImage(std::string& out);

    mutable CCTFCertStorage m_storage;
    int m_protectStatus = 0;
    int m_checkResult = 0;
    IdentObj m_userId;
    CTOOString m_fileName;
    unsigned long m_controlLength = 0;
    unsigned long m_certInfoLength = 0;
    unsigned long m_certCount = 0;
    unsigned long m_certOffset = 0;
    HCRYPTKEY m_key = 0;
    HCRYPTHASH m_hash = 0;
    HCRYPTPROV m_prov = 0;
    IdentObj m_protectAlgorithm;  // the text as stored, no zero
    IdentObj m_hashOid;
    ALG_ID m_hashAlg = 0;
    unsigned long m_purpose = 0;
    unsigned long m_fileVersion = 0;
    CCTFSignData m_signData;
    int m_protect = 0;
    std::vector<std::uint32_t> m_sizes;
    std::uint64_t m_sizeSum = 0;
    // The file being loaded.
    const unsigned char* m_image = nullptr;
    std::uint64_t m_imageSize = 0;
    // What the last load found (certificates and CRLs, DER), so a write
    // applies only this object's changes to the file as it is then.
    std::vector<IdentObj> m_loadedCerts, m_loadedCrls;
    bool m_loaded = false;
};

// ---------------------------------------------------------------------------
class CERT_API CCTFTrustRootCertList : public CCTFCertList {
public:
    CCTFTrustRootCertList();
    // File version 16: a record-form file loaded through this constructor
    // is checked as a PKCS #7 list (140).
    explicit CCTFTrustRootCertList(const char* path);
    CCTFTrustRootCertList(const CCTFTrustRootCertList& o) = default;
    CCTFTrustRootCertList& operator=(const CCTFTrustRootCertList& o) = default;
    ~CCTFTrustRootCertList() override;

    int ParseProtectInfo(const unsigned char* data, unsigned long size, unsigned long* consumed) override;
    int CheckProtection() override;
    unsigned long GetSizeForProtectionFields() const override;
    unsigned long PutProtectInfoToHeader(unsigned char* buffer, unsigned long size) override;

    // The named record-form file's protection algorithm, key identifier
    // and user identifier: 1, or 0 when it cannot be read or parsed.
    virtual int GetProtectInfo(CTOOString& algorithm, IdentObj& keyId, IdentObj& userId);
    // Prepares the protection of the next write; `key` (non-zero) is
    // duplicated: a MAC key or a private key's handle.
    virtual void SetProtectInfo(CTOOString& algorithm, IdentObj& keyId, IdentObj& userId, unsigned long key);
    // The named PKCS #7 file's signature against `cert` alone: 0, 98, 194,
    // or the code.
    int CheckSignature(const CCTFCertContext& cert) const;

    bool IsMacMode() const { return m_macMode; }
    const IdentObj& GetKeyId() const { return m_keyId; }
    const IdentObj& GetProtectValue() const { return m_protectValue; }
    CTOOString GetProtectAlgorithm() const;

private:
    int CheckPkcs7();

    unsigned long m_signLength = 0, m_macLength = 0, m_algLength = 0, m_valueLength = 0, m_keyIdLength = 0;
    IdentObj m_keyId;
    IdentObj m_protectValue;
    bool m_macMode = false;
};

// ---------------------------------------------------------------------------
// One CRL file and the verdict on its signature.
constexpr unsigned long CTF_CRLFILE_NOTHING = 0x80092004u;
constexpr unsigned long CTF_CRLFILE_VERIFIED = 0;
constexpr unsigned long CTF_CRLFILE_BAD_SIGNATURE = 8;
constexpr unsigned long CTF_CRLFILE_NO_ISSUER = 0x10000;

class CERT_API CCTFCRLFileList : public CCTF_CRL_List {
public:
    CCTFCRLFileList() = default;
    // Loads the file when it exists.
    CCTFCRLFileList(const CTOOString& path, CCTFCertStorage& storage, XTOOStatus* status);
    ~CCTFCRLFileList() override;

    // Throws XTOOStatus (4 missing or empty, the platform's code for a CRL
    // that does not decode); an unverifiable CRL is a status, not a failure.
    // With `status` given, a failure is stored there and false returned.
    bool LoadFile(const CTOOString& path, CCTFCertStorage& storage, XTOOStatus* status);
    // 0 or the code; through a work copy.
    int SaveFile();
    unsigned long GetStatus() const { return m_status; }

private:
    unsigned long m_status = CTF_CRLFILE_NOTHING;
    CTOOString m_fileName;
};
