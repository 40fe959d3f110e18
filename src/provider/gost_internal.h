// Helpers shared by the primitive sources (not for use above them).
#pragma once

#include "provider/gost.h"

struct evp_md_st;

namespace cert::gost::detail {

// Clears the OpenSSL error queue and throws Error(winError, place).
[[noreturn]] void Fail(DWORD winError, const char* place);
// Fails unless ok > 0 (the OpenSSL success convention).
void Check(int ok, DWORD winError, const char* place);

// The cached EVP_MD of a hash (engine or default provider), never null.
const evp_md_st* HashMd(HashAlg alg);

}  // namespace cert::gost::detail
