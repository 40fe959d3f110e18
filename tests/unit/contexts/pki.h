// A small PKI that openssl makes at test time: a CA, certificates it
// issued (good, expired, revoked), one with its signature altered, CRLs
// (an older empty one, the current one listing the revoked certificate, an
// expired one) and a newer CRL that a forger with the CA's name and key
// identifier signed.
#pragma once

#include <string>

#include "testsupport.h"

namespace pki {

struct Kind {
    const char* name;
    const char* key;     // openssl req -newkey ...
    const char* digest;  // default_md of openssl ca
    bool gost;
};

inline const Kind kKinds[] = {
    {"rsa", "rsa:2048", "sha256", false},
    {"gost2001", "gost2001 -pkeyopt paramset:A", "md_gost94", true},
    {"gost2012_256", "gost2012_256 -pkeyopt paramset:A", "md_gost12_256", true},
    {"gost2012_512", "gost2012_512 -pkeyopt paramset:A", "md_gost12_512", true},
};

// Makes the files in `dir` (DER: ca, good, expired, revoked, altered,
// oldbc80, oldbcC0 .der; empty.crl, crl, stale.crl, forged.crl .der; PEM
// beside them). False with openssl's complaint in `why`.
bool Make(const std::string& dir, const Kind& k, std::string& why);

}  // namespace pki
