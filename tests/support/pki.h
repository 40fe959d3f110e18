// A PKI made in the tests through the library itself: GOST R 34.10-2012
// 256-bit keys in containers of a key home of the test program's own (made
// once per program and per key name), certificates built by the
// certificate model and signed by the provider, and CRLs built by the CRL
// model and signed the same way. Nothing is read from disk but the keys.
//
// The keys live outside the per-test $CERT_HOME: every call that signs
// switches the library's home to the key home and back. Call from one
// thread at a time.
#pragma once

#include <string>
#include <vector>

#include "cert/certmodel.h"
#include "cert/certstore.h"
#include "cert/crlmodel.h"
#include "cert/signeddata.h"
#include "cert/tootime.h"

namespace certpki {

// Now moved by whole days (negative: the past), in whole seconds.
FILETIME Days(long long days);

// A signature key, made on first use of its name and kept for the program.
struct Key {
    std::string name;
    CCTFCertPublicKeyInfo publicKey;
};
const Key& GetKey(const std::string& name);

// What a certificate is made of. Names are X.500 text ("CN=Root, O=Test");
// the issuer's name and key come from the issuing certificate, or are the
// subject's own for a self-signed one.
struct CertSpec {
    std::string subject = "CN=Leaf, O=Test";
    std::string key;               // key name; empty: the subject text
    IdentObj serial;               // least significant byte first; empty: a fresh one
    FILETIME notBefore{};          // empty: a day ago
    FILETIME notAfter{};           // empty: a year ahead
    bool ca = false;               // basic constraints with the CA flag
    int pathLength = -1;           // with `ca`: the limit, -1 none
    bool basicConstraints = true;  // written for a CA or a self-signed certificate
    bool markEndEntity = false;    // written with the CA flag clear for any other
    int keyUsage = -1;             // the first key-usage byte (0x80 signature, 0x06 cert and CRL signing); -1 none
    bool subjectKeyId = true;
    bool authorityKeyId = true;  // key id, issuer name and serial of the issuer
    std::vector<std::string> crlUrls;
    // The issuer's name to write instead of the issuing certificate's
    // subject (the signature stays the issuer key's).
    std::string issuerName;
    bool brokenSignature = false;  // one bit of the signature flipped
    // Fixed bytes instead of a signature: cheap look-alikes by the thousand.
    bool unsigned_ = false;
    IdentObj subjectKeyIdValue;  // the key identifier to claim; empty: the key's
    std::vector<CCTFCertExtension> extra;
};

// A certificate with the key that certifies it.
struct Cert {
    CCTFCertContext context;
    IdentObj der;
    std::string key;
    CCTFX509Certificate model;

    IdentObj Serial() const { return model.m_info.m_serialNumber; }
};

// What a CA certificate for `subject` is made of (CA flag, key usage 0x06).
CertSpec CaSpec(const std::string& subject, int pathLength = -1);

Cert SelfSigned(const CertSpec& spec);
Cert Issue(const Cert& issuer, const CertSpec& spec);

struct Revoked {
    IdentObj serial;      // least significant byte first
    FILETIME date{};      // empty: an hour ago
    unsigned reason = 0;  // 0: no reason code
};

// How the CRL names its issuer's key.
enum class CrlKeyId { KeyIdOnly, IssuerAndSerial, Both, None };

struct CrlSpec {
    FILETIME thisUpdate{};  // empty: an hour ago
    FILETIME nextUpdate{};  // empty: a week ahead
    std::vector<Revoked> revoked;
    CrlKeyId keyId = CrlKeyId::KeyIdOnly;
    bool brokenSignature = false;
    // Signs with this key instead of the issuer's (a forger's CRL under the
    // issuer's name and key identifier).
    std::string signingKey;
};

// A CRL of `issuer`, signed by its key.
CCTFCRLContext MakeCrl(const Cert& issuer, const CrlSpec& spec = {});
// The CRL listing these certificates (revoked an hour ago).
CCTFCRLContext Revoke(const Cert& issuer, const std::vector<const Cert*>& revoked, CrlSpec spec = {});

// Signs the list's certificates as a trust list (CTFSignTrustList) with
// the key of `signer`; throws what the signing throws.
void SignTrustList(const Cert& signer, CCTFSignData& list);

// A memory store holding the certificates and CRLs; `untrusted` gives it
// the status word 0x20 (its self-signed certificates are no anchors).
CCTFCertStorage MemoryStore(const std::vector<const Cert*>& certs, const std::vector<CCTFCRLContext>& crls = {},
                            bool untrusted = false);

// The certificate of `info` with a fixed filler in place of a signature, for
// tests whose certificates are only found and never verified.
IdentObj WithFillerSignature(const CCTFCertInfo& info, const CCTFAlgorithmIdentifier& signatureAlgorithm);

}  // namespace certpki
