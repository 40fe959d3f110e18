// What the files of the contexts layer share.
#pragma once

#include <string>

#include "cert/certstore.h"

namespace cert::contexts {

// The log source of this layer.
constexpr const char* kLogSource = "CTF";
// A key identifier written as a name: one attribute of this type.
constexpr const char* kKeyIdAttribute = "1.3.6.1.4.1.311.10.7.1";

// Runs `body`, turning anything it throws into `failed` and a last error
// (E_OUTOFMEMORY for memory, the status's Windows code, else
// ERROR_INTERNAL_ERROR): the rule of the wrappers' results.
template <class R, class F>
R Answer(R failed, F&& body) noexcept;

void SetLastErrorOfCurrentException() noexcept;

template <class R, class F>
R Answer(R failed, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        SetLastErrorOfCurrentException();
    }
    return failed;
}

// One extension of a certificate or CRL, or null.
const CERT_EXTENSION* FindExtension(DWORD count, const CERT_EXTENSION* extensions, const char* oid);
// The extension decoded as `structType` into one aligned blob; false when
// it is absent or does not decode.
bool DecodeExtension(const CERT_EXTENSION* ext, LPCSTR structType, IdentObj& out);

IdentObj Blob(const CRYPTOAPI_BLOB& b);
bool SameBytes(const CRYPTOAPI_BLOB& a, const CRYPTOAPI_BLOB& b);

// The signature of a signed structure (certificate or CRL) checked in the
// GOST provider with the issuer's key: 1 good, 0 bad, -1 when its algorithm
// is no GOST one.
int VerifyGostSigned(const BYTE* der, DWORD size, PCCERT_CONTEXT issuer);
// The same with OpenSSL for a CRL of any other algorithm: 1 good, else 0.
int VerifyCrlWithOpenssl(const BYTE* crl, DWORD crlSize, const BYTE* issuer, DWORD issuerSize);

// `verify(subject, issuer)` (1 good) remembered for this pair of encodings,
// bounded in number.
bool RememberedSignature(PCCERT_CONTEXT subject, PCCERT_CONTEXT issuer, int (*verify)(PCCERT_CONTEXT, PCCERT_CONTEXT));

// Logs a line of this layer (CertPutLogFormatted).
void Log(const std::string& text, int level);

}  // namespace cert::contexts
