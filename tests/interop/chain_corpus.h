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

// The extensions of a certificate, written alike by both makers.
struct Extensions {
    bool ca;              // basic constraints (critical) with the CA flag set or clear
    int pathLength = -1;  // -1: none
    int keyUsage = -1;    // the first key-usage byte (0x80 digitalSignature, 0x04 keyCertSign, 0x02 cRLSign); -1 none
    bool ski = true;      // subject key identifier
    bool aki = true;      // authority key identifier (key id, issuer, serial) on an issued certificate
};
inline constexpr Extensions kCa{true, -1, 0x06}, kCaPath0{true, 0, 0x06}, kCaSignOnly{true, -1, 0x80}, kNotCa{false},
    kCaNoKi{true, -1, 0x06, false, false}, kLeaf{false, -1, 0x80}, kLeafNoAki{false, -1, 0x80, true, false},
    kLeafNoKi{false, -1, 0x80, false, false};

struct Cert {
    const char* name;    // how the tables refer to it
    const char* cn;      // subject CN; O=Corpus follows
    const char* issuer;  // the issuing certificate's name; nullptr: self-signed
    const char* key;     // keys are named apart: renewals and cross-certificates share one
    Extensions ext;
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
