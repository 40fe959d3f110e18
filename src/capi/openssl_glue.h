// The few OpenSSL calls of the contexts and stores, apart: OpenSSL's
// X509_NAME and the platform's structure type of that name cannot meet in
// one translation unit. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cert::capi::ossl {

// SHA-1 of `n` bytes into `out` (20 bytes); false when OpenSSL fails.
bool Sha1(const std::uint8_t* p, std::size_t n, std::uint8_t* out);
// Whether the signed certificate (or CRL) `p` verifies with the public key
// of the certificate `signer`, both DER.
bool Verifies(const std::uint8_t* signer, std::size_t signerSize, const std::uint8_t* p, std::size_t n, bool isCrl);

}  // namespace cert::capi::ossl
