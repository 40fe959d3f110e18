// The PKI the chain tests verify, described once as tables and made twice:
// by the openssl command line with the GOST engine and by our own
// certificate code. Both makers follow the same tables, so every case of
// the chain test runs over either corpus with the same expectations.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "cert/tools.h"

namespace corpus {

// Validity windows (UTC, the `openssl ca -startdate` form).
inline constexpr const char* kLongAgo = "20200101000000Z";
inline constexpr const char* kFarAhead = "20451231000000Z";

// The extension sets a certificate can carry.
enum class Profile {
    Root,        // CA, key usage keyCertSign|cRLSign, subject key identifier
    Ca,          // the same with the authority key identifier
    CaPath0,     // Ca with a path length of 0
    CaSignOnly,  // Ca whose key usage is digitalSignature alone
    NotCa,       // basic constraints CA:FALSE below a CA's name
    RootNoKi,    // Root without key identifiers
    CaNoKi,      // Ca without key identifiers
    Leaf,        // CA:FALSE, digitalSignature, both key identifiers
    LeafNoAki,   // Leaf without the authority key identifier
    LeafNoKi,    // Leaf without key identifiers
};

struct Cert {
    const char* name;    // how the tables refer to it
    const char* cn;      // subject CN; O=Corpus follows
    const char* issuer;  // the issuing certificate's name; nullptr: self-signed
    const char* key;     // keys are named apart: renewals and cross-certificates share one
    Profile profile;
    const char* from = kLongAgo;
    const char* to = kFarAhead;
};

struct Revoked {
    const char* cert;
    const char* date;
};

struct Crl {
    const char* issuer;  // a certificate's name: its name, key and key identifier sign the CRL
    const char* thisUpdate;
    const char* nextUpdate;
    std::vector<Revoked> revoked;
};

// In issuing order. Serial numbers are 0x1000 + the index.
const std::vector<Cert>& Certs();
const std::vector<Crl>& Crls();
const Cert& CertNamed(const std::string& name);
unsigned SerialOf(const std::string& name);
// The CRL (its `issuer`) that speaks for certificates of this CA: one
// under the same name and key. Empty when it has none.
std::string CrlFor(const std::string& ca);
// Made, then given a broken signature.
bool IsAltered(const std::string& name);

// DER certificates by name and CRLs by issuer name.
struct Made {
    std::map<std::string, IdentObj> certs;
    std::map<std::string, IdentObj> crls;
};

// Made in `dir` by one shell script of openssl commands; false with its
// complaint in `why`.
bool MakeWithOpenssl(const std::string& dir, Made& out, std::string& why);

// Made by our certificate and CRL models, signed by our provider
// (tests/support/pki.h); false with the reason in `why`.
bool MakeWithOurs(Made& out, std::string& why);

// A byte of the signature value flipped.
void AlterSignature(IdentObj& der);
// "YYYYMMDDHHMMSSZ" as seconds since 1970 and as a file time.
long long EpochOf(const char* utc);

}  // namespace corpus
