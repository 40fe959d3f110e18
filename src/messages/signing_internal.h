// Inside the messages layer: the steps the signing functions share. Not
// exported. Every function throws XTOOStatus with the step as its place.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cert/certlog.h"
#include "cert/signeddata.h"
#include "cert/vrkscapi.h"

namespace cert::signing {

// The order of the signed attributes: the memory form puts the message
// digest before the signing time, the file form after it. Signatures made
// by either are in use, so both stay.
enum class AttributeOrder { DigestFirst, TimeFirst };

// The hash to sign with: `hashOid` when given, else the first the
// certificate's key supports; 73 when the provider has no ALG_ID for it.
struct HashChoice {
    CTOOString oid;
    ALG_ID alg = 0;
};
HashChoice ChooseHash(const CCTFCertContext& signer, const CTOOString* hashOid, const char* place);

// The signature algorithm of `hash` with the certificate's key: the
// registry's row, else the key's own OID (never none).
CTOOString SignatureOid(ALG_ID hash, const CCTFCertContext& signer);

// Feeds `size` bytes to the hash, in pieces the provider takes.
void HashBytes(HCRYPTHASH hash, const void* data, std::uint64_t size, const char* place);
// Feeds the byte ranges of a file, in pieces; memory stays small whatever
// their size.
void HashFileRanges(HCRYPTHASH hash, const std::string& path, const std::vector<ByteRange>& ranges, const char* place);
// The bytes the ranges hold.
std::uint64_t Total(const std::vector<ByteRange>& ranges);
// The ranges of a whole file or of [start, end) of it (end 0xFFFFFFFF: the
// file's end); 4 for a missing file, 37 for a range beyond its end.
std::vector<ByteRange> FileRange(const std::string& path, std::uint64_t start, std::uint64_t end);

// The pieces of a signer info, shared with the size estimate of a signature
// to come so that it is written the way a real one is.
// GOST identifiers go without parameters, the others with NULL.
CCTFAlgorithmIdentifier Algorithm(const CTOOString& oid);
// Content type, message digest (none: left out) and signing time, as a
// universal SET: the bytes that are signed.
CCTFAttributesList SignedAttributes(const char* contentType, const IdentObj* digest, AttributeOrder order);
// The signer named by issuer and serial number, or by key identifier.
void NameSigner(CCTFMessageSignerInfo& si, const CCTFCertContext& signer, bool byKeyId);
// Adds `alg` to the digest algorithms, kept sorted by encoding and unique.
void AddDigestAlgorithm(CCTFSignData& data, const CCTFAlgorithmIdentifier& alg);
// Adds the certificate unless the signed data has it.
void AddCertificate(CCTFSignData& data, const IdentObj& der);

// Whether one of the signed data's signers is `signer` (issuer and serial,
// or key identifier).
bool HasSigner(const CCTFSignData& data, const CCTFCertContext& signer);

// What a signature needs besides the data.
struct SignRequest {
    const CCTFUser* user = nullptr;
    const CCTFCertContext* signer = nullptr;
    DWORD options = 0;  // kSignNoAttributes, kSignByKeyId
    const CTOOString* hashOid = nullptr;
    AttributeOrder order = AttributeOrder::DigestFirst;
    const char* place = "CTFSignData";
};

// Signs the data that `feed` gives to the hash and adds the signer to
// `data`: its signer info, its digest algorithm (the list kept sorted and
// unique) and its certificate (once).
void AddSignature(CCTFSignData& data, const SignRequest& request, const std::function<void(HCRYPTHASH)>& feed);

// Runs `body` under the reporting rule of the exported functions (stored
// in *error, or thrown when it is null, with the failing step as the place)
// and leaves the step in the diagnostics log.
template <class F>
bool Reported(const char* place, int* error, F&& body) {
    try {
        body();
        if (error) *error = TOO_OK;
        return true;
    } catch (...) {
        CTOOString inner;
        const int status = TOOStatusOfCurrentException(&inner);
        const std::string where = inner.IsEmpty() ? std::string(place) : inner.str();
        CertPutLogFormatted(("status " + std::to_string(status) + " at " + where).c_str(), place, 2);
        TOOReport(status, where.c_str(), error);
    }
    return false;
}

}  // namespace cert::signing
