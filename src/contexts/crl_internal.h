// What the CRL model's files share.
#pragma once

#include "cert/capi.h"
#include "cert/certmodel.h"
#include "cert/tools.h"

namespace cert::contexts::crl {

// The last error of a failed platform call as a status (16 for memory).
[[noreturn]] void ThrowLastError(const char* place);
// CryptDecodeObject / CryptEncodeObject with the sizing call first; throw
// ThrowLastError's status with `place`.
IdentObj Decode(LPCSTR type, const BYTE* der, DWORD size, DWORD flags, const char* place);
IdentObj Encode(LPCSTR type, const void* info, const char* place);
// A view of `alg` for the encoder, valid while `alg` is unchanged.
CRYPT_ALGORITHM_IDENTIFIER PlatformAlgorithm(const CCTFAlgorithmIdentifier& alg);
// CRL times are encoded in whole seconds; the CRL number carries
// thisUpdate too, so both must agree.
FILETIME NowWholeSeconds();

}  // namespace cert::contexts::crl
