// Signature verification, the separation of content from its signatures,
// the size of a signature to come, and whether a certificate may sign.
#pragma once

#include <list>

#include "cert/certmodel.h"
#include "cert/certstore.h"
#include "cert/export.h"
#include "cert/signeddata.h"
#include "cert/tootime.h"

// Per-signer statuses of the verification (0: the signature is valid).
inline constexpr DWORD kVerifyNoSignerCertificate = 0x80096002;  // no certificate of the signer found
inline constexpr DWORD kVerifyDigestMismatch = 0x80090005;       // message digest differs from the content's
inline constexpr DWORD kVerifyBadSignature = 0x80090006;         // the signature does not verify
inline constexpr DWORD kVerifyNotTrustListSigner = 0x800B0110;   // may not sign a trust list

// The verdict on one signer: the signer info and the certificate found for
// it (empty when none), a blob, the status and its explanation.
class CERT_API CCTFWholeSignatureCheck : public CCTFWholeSignature {
public:
    CCTFWholeSignatureCheck() = default;
    CCTFWholeSignatureCheck(const CCTFWholeSignatureCheck&) = default;
    CCTFWholeSignatureCheck& operator=(const CCTFWholeSignatureCheck&) = default;
    virtual ~CCTFWholeSignatureCheck();

    // Ordered by the signer info, then the certificate, the blob, the
    // status and the text.
    int Compare(const CCTFWholeSignatureCheck& o) const;
    bool operator==(const CCTFWholeSignatureCheck& o) const { return Compare(o) == 0; }
    bool operator!=(const CCTFWholeSignatureCheck& o) const { return Compare(o) != 0; }
    bool operator<(const CCTFWholeSignatureCheck& o) const { return Compare(o) < 0; }
    bool operator>(const CCTFWholeSignatureCheck& o) const { return Compare(o) > 0; }

    IdentObj m_blob;
    DWORD m_status = 0;
    CTOOString m_text;
};

// A signer info with its check.
class CERT_API CCTFSignerInfoCheck {
public:
    CCTFMessageSignerInfo m_signerInfo;
    CCTFX509Certificate m_certificate;
    IdentObj m_blob;
    DWORD m_status = 0;
    CTOOString m_text;
};

// A certificate's information with a status.
class CERT_API CCTFX509CheckSignResult {
public:
    CCTFCertInfo m_info;
    DWORD m_status = 0;
};

// Verifies every signer of `signature` (a ContentInfo with a SignedData)
// and appends one result per signer to *results, in the signed data's
// order. `data` describes detached content (ignored when it is attached);
// `storage`, when given, is searched for signer certificates besides those
// the signed data carries. True when the signed data could be processed:
// a signer that fails is a status in its result, never an error. Errors
// (reporting rule): 28 for missing or contradictory arguments, 4 a missing
// content file, 5 a failed read, 131 a signer whose digest is not among
// the signed data's, or the provider's mapped error.
CERT_API bool CTFVerifySignedData(std::list<CCTFWholeSignatureCheck>* results, const WhatToSignStruct& data,
                                  const IdentObj& signature, const CCTFCertStorage* storage, int* error);

// The same for a file: it holds the signed data (content attached or not),
// or, when `detachedSignature` is given, the plain content. The file is
// read as a stream: only the certificates, CRLs and signer infos are kept
// in memory, the content is hashed from the file in pieces. Errors as
// above, place "CTFVerifySignatureOnFile"; a signed data that does not
// parse is its format status with the offset.
CERT_API bool CTFVerifySignatureOnFile(std::list<CCTFWholeSignatureCheck>& results, const char* fileName,
                                       const IdentObj* detachedSignature, const CCTFCertStorage* storage, int* error);

// Writes the content attached to the signed data in `signedFile` to
// `contentFile`, byte for byte, and, when `detachedSignature` is given,
// gives in it the signed data re-encoded without content. Neither file is
// loaded whole. Reporting rule; 0 in *error on success.
CERT_API bool CTFRemoveSignaturesFromFile(const char* signedFile, const char* contentFile, IdentObj* detachedSignature,
                                          int* error);

// The length of the encoded SignedData that one more signature by
// `certificate` would give: `*signedData` (or, when null, a new one
// carrying `dataSize` bytes of content) with the signer's certificate
// (not with flag 0x10000, which makes the version 3), its signer info and
// its digest algorithm. Nothing is signed. 0 with *error on failure
// (28 no certificate, 206 one that does not decode, 73 an unknown
// algorithm); without `error` failures throw XTOOStatus.
inline constexpr unsigned long kSizeWithoutCertificate = 0x10000;
CERT_API unsigned long CTFGetSignaturesSizes(const CCTFCertContext& certificate, unsigned long flags,
                                             CCTFSignData* signedData, unsigned long dataSize, const char* hashOid,
                                             int* error);
CERT_API unsigned long CTFGetSignaturesSizes(const IdentObj& certificate, unsigned long flags, CCTFSignData* signedData,
                                             unsigned long dataSize, const char* hashOid, int* error);

// True when the certificate may sign at `time` (now when empty): its basic
// constraints and key usage decode, the key usage (when present) allows
// digital signature or non-repudiation, and `time` lies inside both the
// validity and the private-key usage period. False otherwise, with the
// thread's last error 106 (the certificate is not made for signing, or its
// extensions do not decode) or 203 (outside its periods). `flag` is kept
// for callers and changes nothing.
CERT_API bool CTFCanSignByCert(const CCTFCertContext& certificate, bool flag, const CTOOFileTime& time);
