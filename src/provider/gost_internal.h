// Helpers shared by the primitive sources (not for use above them).
#pragma once

#include "provider/gost.h"

struct evp_md_st;

namespace cert::gost::detail {

// Throws Error(winError, place) for an OpenSSL call that failed, clearing
// the OpenSSL error queue it left.
[[noreturn]] void ThrowOpenSsl(DWORD winError, const char* place);
// ThrowOpenSsl unless ok > 0 (the OpenSSL success convention).
void CheckOpenSsl(int ok, DWORD winError, const char* place);

// The cached EVP_MD of a hash (engine or default provider), never null.
const evp_md_st* HashMd(HashAlg alg);

}  // namespace cert::gost::detail
