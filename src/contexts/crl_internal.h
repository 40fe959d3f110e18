// What the CRL model's files share.
#pragma once

#include <cstdint>
#include <memory>

#include "cert/capi.h"
#include "cert/certmodel.h"
#include "cert/tools.h"

namespace cert::contexts::crl {

// The last error of a failed platform call as a status (16 for memory).
[[noreturn]] void ThrowLastError(const char* place);
// CryptDecodeObject into a buffer of `estimate` bytes, again at the size
// asked for when that was too small: a CRL of a million entries is decoded
// once, not sized by a first decode of its own. Throws ThrowLastError's
// status with `place`.
struct Decoded {
    std::unique_ptr<std::uint64_t[]> mem;  // pointer-aligned, not zeroed
    template <class T>
    const T& As() const {
        return *reinterpret_cast<const T*>(mem.get());
    }
};
Decoded Decode(LPCSTR type, const BYTE* der, DWORD size, DWORD flags, std::size_t estimate, const char* place);
// CryptEncodeObject with the sizing call first.
IdentObj Encode(LPCSTR type, const void* info, const char* place);
// A view of `alg` for the encoder, valid while `alg` is unchanged.
CRYPT_ALGORITHM_IDENTIFIER PlatformAlgorithm(const CCTFAlgorithmIdentifier& alg);
// The CRL number of a "2.5.29.20" extension value: the INTEGER's content
// as encoded, minimal or not (the library's own numbers are written
// verbatim, and the platform's strict reader refuses them), else the raw
// value.
IdentObj CrlNumberOf(const BYTE* value, DWORD size);
// CRL times are encoded in whole seconds; the CRL number carries
// thisUpdate too, so both must agree.
FILETIME NowWholeSeconds();

}  // namespace cert::contexts::crl
