// The public half of a provider key as the certificate layer writes it into
// a SubjectPublicKeyInfo, for the keys the VRK* API has no public-key blob
// of (RSA).
#pragma once

#include "cert/platform.h"
#include "cert/tools.h"

namespace vrk {

// The SubjectPublicKeyInfo DER of the RSA key `hKey`. FALSE with the last
// error NTE_BAD_KEY for a handle that is no key, NTE_BAD_ALGID for a key
// that is not RSA.
BOOL RsaPublicKeyInfo(HCRYPTKEY hKey, IdentObj& spki);

}  // namespace vrk
