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
#include <string>
#include <vector>

#include "cert/asn.h"
#include "cert/export.h"
#include "cert/tools.h"

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
