// libFuzzer target for the certificate model: a certificate with every
// extension through DecodeCert, GetEncodetCert, every DecodeData, the
// authority key identifier, the key's length and parameters; the body is
// shared with the corpus replay test.
#include <cstdlib>

#include "model_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!modelfuzz::RunCert(data, size)) std::abort();
    return 0;
}
