// Our side of bench_chain, apart from OpenSSL's headers (both declare
// X509_NAME): the files it verifies, made by the tests' PKI builder, and
// our chain engine over them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace benchchain {

// One CA, `certificates` end-user certificates of it and its CRL of
// `crlEntries` entries, every `revokedEvery`-th certificate among them;
// each as DER, and the CA also as PEM at its path + ".pem" (openssl takes
// its trusted certificates in no other form). Made once per program in a
// folder removed at exit.
struct Files {
    std::string dir, ca, crl;
    std::vector<std::string> certs;
    std::size_t crlBytes = 0;
};
const Files& Make(int certificates, int crlEntries, int revokedEvery);

struct Verdicts {
    int clean = 0, revoked = 0, other = 0;
};
// Reads the CA and the CRL into the root storage once, then reads and
// verifies every certificate.
Verdicts VerifyAll(const Files& files);

}  // namespace benchchain
