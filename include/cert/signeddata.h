// Signed data (a ContentInfo holding a SignedData), read as a stream.
//
// SignedDataReader walks one ContentInfo from a file, in pieces, or from
// memory, in DER or in BER as streaming signers write it (indefinite
// lengths, the content as a chunked OCTET STRING). It keeps what the model
// needs as the exact bytes that were read: the digest algorithms, the
// certificates, the CRLs and the signer infos. The content is never loaded:
// it is given as the byte ranges of the input that hold it (one range for a
// primitive OCTET STRING, one per chunk of a chunked one), so memory stays
// small whatever the content's size, and a verifier hashes the ranges.
//
// Every length is checked against the bytes left before it is believed
// (64-bit sums), nesting is bounded, and a fault is an asn::Error with the
// absolute offset where it was seen. A failed read leaves the output as it
// was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "cert/asn.h"
#include "cert/certmodel.h"
#include "cert/certstore.h"
#include "cert/ctfuser.h"
#include "cert/export.h"
#include "cert/toofile.h"
#include "cert/tools.h"
#include "cert/x500name.h"

namespace cert {

// A piece of the input: absolute offset and length in bytes.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool operator==(const ByteRange&) const = default;
};

inline constexpr const char kOidSignedData[] = "1.2.840.113549.1.7.2";
inline constexpr const char kOidData[] = "1.2.840.113549.1.7.1";
// A SignedData version other than 1 or 3.
inline constexpr int kStatusBadSignedDataVersion = 133;

struct SignedDataParts {
    std::uint64_t start = 0;  // offset of the ContentInfo
    std::uint64_t end = 0;    // offset just past it
    int version = 0;
    std::vector<IdentObj> digestAlgorithms;  // each AlgorithmIdentifier as read
    std::string contentType;                 // of the encapsulated content
    bool detached = true;                    // no content carried
    std::vector<ByteRange> content;          // in order; empty chunks left out
    std::uint64_t contentSize = 0;           // the sum of the ranges
    std::vector<IdentObj> certificates;      // each element of [0] as read
    std::vector<IdentObj> crls;              // each element of [1] as read
    std::vector<IdentObj> signerInfos;       // each SignerInfo as read
};

class CERT_API SignedDataReader {
public:
    // The largest single element kept in memory (a certificate, a CRL, a
    // signer info); larger ones are TOOERR_DER_LIMIT.
    static constexpr std::uint64_t kDefaultMaxKept = 64u << 20;

    SignedDataReader() = default;

    // Limits for the next reads.
    void SetMaxDepth(int depth) { m_maxDepth = depth; }
    void SetMaxKept(std::uint64_t bytes) { m_maxKept = bytes; }
    // With `whole` false bytes may follow the ContentInfo (the caller reads
    // on from parts.end); by default they are an error.
    void SetWholeInput(bool whole) { m_whole = whole; }

    // Reads the ContentInfo that starts at `offset` of the file. Failures
    // follow the reporting rule (stored in *error, or thrown as XTOOStatus
    // when error is null: a format fault as asn::Error); the place names the
    // file and the offset. A missing file is TOOERR_NOFILE.
    bool ReadFile(const std::string& path, std::uint64_t offset, SignedDataParts& parts, int* error,
                  CTOOString* place = nullptr);
    // The same over a buffer; ranges are offsets into it.
    bool ReadMemory(const void* data, std::size_t size, SignedDataParts& parts, int* error,
                    CTOOString* place = nullptr);

    // The offset of the last format fault (0 before any).
    std::uint64_t ErrorOffset() const { return m_errorOffset; }

private:
    int m_maxDepth = asn::kMaxDepth;
    std::uint64_t m_maxKept = kDefaultMaxKept;
    bool m_whole = true;
    std::uint64_t m_errorOffset = 0;
};

}  // namespace cert

// ---------------------------------------------------------------------------
// Attributes (of signer infos and of certificate requests).

// One attribute: its type and the DER of its whole SET OF values.
class CERT_API CCTFAttribute {
public:
    // Bytes consumed; 0 on failure (206 for anything but SEQUENCE { OID, ... }).
    unsigned long ReadData(const unsigned char* data, unsigned long size, int* error);
    IdentObj WriteData(int* error) const;

    CTOOString m_type;
    IdentObj m_values;
};

// One attribute with its values apart. Several values are written inside one
// SEQUENCE in the SET (the extension-request shape), so a foreign attribute
// with several values does not survive a decode and encode: lists that were
// read are written back as read unless they changed (CCTFAttributesList).
class CERT_API CCTFAttributesSet {
public:
    unsigned long ReadData(const unsigned char* data, unsigned long size, int* error);
    IdentObj WriteData(int* error) const;
    bool operator==(const CCTFAttributesSet& o) const { return m_type == o.m_type && m_values == o.m_values; }

    CTOOString m_type;
    std::list<IdentObj> m_values;
};

class CERT_API CCTFAttributesList {
public:
    unsigned long ReadData(const unsigned char* data, unsigned long size, int* error);
    IdentObj WriteData(int* error) const;
    bool IsEmpty() const { return m_sets.empty(); }
    // The list's bytes as they were read (empty for a list built here); the
    // signed attributes are hashed over these, retagged as SET.
    const IdentObj& GetEncoded() const { return m_encoded; }

    std::list<CCTFAttributesSet> m_sets;
    DWORD m_tag = 0;
    bool m_universal = false;

private:
    IdentObj m_encoded;
    std::list<CCTFAttributesSet> m_read;  // the sets m_encoded holds
    DWORD m_readTag = 0;
    bool m_readUniversal = false;
};

inline constexpr const char kOidContentTypeAttr[] = "1.2.840.113549.1.9.3";
inline constexpr const char kOidMessageDigestAttr[] = "1.2.840.113549.1.9.4";
inline constexpr const char kOidSigningTimeAttr[] = "1.2.840.113549.1.9.5";

// ---------------------------------------------------------------------------
// The signed data model.

// The data to sign: the bytes from `start` to `end` of a file (flags 0x1;
// `data` its name, `end` 0xFFFFFFFF its end) or of a buffer (`data`).
struct WhatToSignStruct {
    DWORD flags = 0;
    DWORD options = 0;
    const char* data = nullptr;
    DWORD start = 0;
    DWORD end = 0;
    DWORD extra = 0;
};
inline constexpr DWORD kWhatToSignFile = 0x1;
inline constexpr DWORD kSignNoAttributes = 0x10000;
inline constexpr DWORD kSignPreviousContent = 0x20000;
inline constexpr DWORD kSignByKeyId = 0x40000;
inline constexpr DWORD kSignCheckPrevious = 0x80000;

class CERT_API CCTFMessageSignerInfo {
public:
    CCTFMessageSignerInfo() = default;
    CCTFMessageSignerInfo(const CCTFMessageSignerInfo&) = default;
    CCTFMessageSignerInfo& operator=(const CCTFMessageSignerInfo&) = default;
    virtual ~CCTFMessageSignerInfo();

    // Bytes consumed; 0 on failure (206, "MessageSignerInfo"). Nothing is
    // changed on failure.
    unsigned long ReadData(const void* data, unsigned long size, int* error);
    IdentObj WriteData(int* error) const;
    // The signing-time attribute's value; 206 without one.
    FILETIME GetSigningDate(int* error) const;

    // Ordered by the encoding.
    int Compare(const CCTFMessageSignerInfo& o) const;
    bool operator==(const CCTFMessageSignerInfo& o) const { return Compare(o) == 0; }
    bool operator!=(const CCTFMessageSignerInfo& o) const { return Compare(o) != 0; }
    bool operator<(const CCTFMessageSignerInfo& o) const { return Compare(o) < 0; }
    bool operator>(const CCTFMessageSignerInfo& o) const { return Compare(o) > 0; }

    CTOOCryptBitBlob m_signerUniqueId;  // from the signer's certificate, not encoded
    DWORD m_version = 1;
    CCTFX509Name m_issuer;
    IdentObj m_serialNumber;  // INTEGER content as encoded
    IdentObj m_keyId;         // non-empty: the signer is named by key id
    CCTFAlgorithmIdentifier m_digestAlgorithm;
    CCTFAlgorithmIdentifier m_signatureAlgorithm;
    IdentObj m_signature;  // least significant byte first
    CCTFAttributesList m_signedAttributes;
    DWORD m_signedAttributesFlags = 0;
    CCTFAttributesList m_unsignedAttributes;
    DWORD m_unsignedAttributesFlags = 0;
};

// One signature with its certificate (empty when the signed data does not
// carry it).
class CERT_API CCTFWholeSignature {
public:
    const CTOOCryptBitBlob& GetSignerUniqueID() const { return m_signerInfo.m_signerUniqueId; }

    IdentObj m_certificate;
    CCTFMessageSignerInfo m_signerInfo;
};

// One SignedData in a ContentInfo. Content read from a file stays there:
// the object notes its byte ranges and the file, and copies them in pieces
// when it is written.
class CERT_API CCTFSignData {
public:
    CCTFSignData();
    CCTFSignData(const CCTFSignData& o);
    CCTFSignData& operator=(const CCTFSignData& o);
    virtual ~CCTFSignData();

    bool ReadObject(const unsigned char* data, unsigned long size, int* error);
    // Reads the SignedData at `offset` of the file; bytes consumed, 0 on
    // failure.
    unsigned long ReadObject(const CTOOFile& file, unsigned long offset, int* error);
    IdentObj WriteObject(int* error);
    // Writes at `offset` of the file; bytes written. Throws XTOOStatus.
    unsigned long WriteObject(CTOOFile& file, unsigned long offset);
    // Passes the encoding to `sink` in pieces (content from a file never
    // whole in memory); the bytes passed. Throws XTOOStatus, as does `sink`.
    std::uint64_t WriteTo(const std::function<void(const std::uint8_t*, std::size_t)>& sink);

    // The content becomes the described bytes: a file range is noted (read
    // when written), a memory range copied now.
    bool AttachData(const WhatToSignStruct& data, int* error);
    // The inverse: the content goes to what `target` describes and the object
    // is left detached. With kWhatToSignFile `target.data` names the file,
    // replaced through a work copy (`start` 0, `end` the size or 0xFFFFFFFF
    // past 32 bits); otherwise `target.data` becomes a new buffer of
    // `end` bytes, the caller's to release with delete[]. Out of memory is
    // 16, a noted range past the end of its file 37; on failure the object
    // and `target` are as they were.
    bool DetachData(WhatToSignStruct& target, int* error);
    const WhatToSignStruct& GetDataInfo() const { return m_dataInfo; }
    // The sizes of the object as a flat record: the encapsulated content (4
    // plus its type's encoding and bytes), and the whole (12 plus the digest
    // algorithms, the content, the certificates, 4, the CRLs, 4 and the
    // signer infos). Throw XTOOStatus when noted content is out of reach.
    unsigned long GetDataSize() const;
    unsigned long GetObjectSize() const;
    // Every signer info decoded, in order, each with the first carried
    // certificate that names it (issuer and serial, or key id) and that no
    // earlier signer took. A certificate that makes no context stops the walk
    // with the context's last error mapped to a status; errors as (code,
    // "CCTFSignData::GetSigersInfo").
    std::list<CCTFWholeSignature> GetSigersInfo(int* error) const;
    // The content's size, wherever it is.
    std::uint64_t GetContentSize() const;
    bool IsDetached() const { return GetContentSize() == 0 && m_fileRanges.empty(); }

    DWORD m_version = 1;
    std::list<CCTFAlgorithmIdentifier> m_digestAlgorithms;
    CASNTIdData m_content;  // the content type; its parameters are the content bytes
    std::list<IdentObj> m_certificates;
    std::list<IdentObj> m_crls;
    std::list<IdentObj> m_signerInfos;
    IdentObj m_contentInfoType;  // OID content octets
    WhatToSignStruct m_dataInfo;
    CTOOString m_fileName;

private:
    void Clear();
    void FixName();
    // The content as ranges of m_fileName (from the descriptor or a read).
    std::vector<cert::ByteRange> FileRanges() const;
    // The encoding around the content; `size` the content's size.
    void Frame(std::uint64_t size, IdentObj& before, IdentObj& after) const;

    std::vector<cert::ByteRange> m_fileRanges;
};

// ---------------------------------------------------------------------------
// Signing.
//
// Each adds one signer to a SignedData: the signer's certificate and the
// key the user's container holds for it. The options of WhatToSignStruct
// (kSign*) choose the shape; kSignCheckPrevious refuses a certificate that
// already signed it (TOOERR_EXISTS). The hash is `hashOid` when given, else
// the first the certificate's key supports (73 when the provider has none
// of that OID). A certificate that may not sign now fails with what
// CTFCanSignByCert says (106, 203); one whose key the user cannot give with
// GetUserKey's status (32 when no key matches). Failures follow the
// reporting rule (stored in *error, or thrown as XTOOStatus when error is
// null; the step goes to the diagnostics log); a failure leaves *signature
// and any output file as they were.

// `*signature` is the SignedData to extend (empty: a new one, detached) and
// receives the result. With kSignPreviousContent the content it carries is
// what is signed, and `data.data` must be null.
CERT_API bool CTFSignData(const CCTFUser& user, const CCTFCertContext& signer, const WhatToSignStruct& data,
                          IdentObj* signature, const CTOOString* hashOid, int* error);

// The file form. With kSignPreviousContent in `flags` the result carries
// the content: a file that already is a SignedData gets one more signer
// over the content it carries; any other file becomes the content of
// `*signature` (or of a new SignedData). The result is streamed into
// `outputName`, which may name the input (a work copy takes its place),
// or, without one, goes into `*signature`. Without the flag the file is
// signed detached, `*signature` (when not empty) extended, and the result
// goes to `outputName` and into `*signature`, each when given; an output
// that is the input itself (by identity, whatever its name) is refused with
// 28, so that the data is never lost.
CERT_API bool CTFSignFile(const CCTFUser& user, const CCTFCertContext& signer, const char* fileName,
                          const char* outputName, IdentObj* signature, unsigned long flags, const CTOOString* hashOid,
                          int* error);

// Progress of the signing functions on the calling thread, for a caller
// that shows it: `callback` gets the bytes of file content read so far by
// the current call (hashed, then copied when the content goes into the
// output) and their total, between pieces. Null stops it.
using CTFProgressCallback = void (*)(std::uint64_t done, std::uint64_t total, void* context);
CERT_API void CTFSetSignProgress(CTFProgressCallback callback, void* context);

// Signs a trust list's certificates (concatenated in list order) with the
// key `keySpec` of `provider`; `signer` must be a CA or a trust-list signer
// (106). Throws XTOOStatus.
CERT_API void CTFSignTrustList(CCTFProvider& provider, unsigned long keySpec, const CCTFCertContext& signer,
                               CCTFSignData& trustList);
