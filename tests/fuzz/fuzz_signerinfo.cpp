// libFuzzer target for the signer info model; the body is shared with the
// corpus replay test.
#include <cstdlib>

#include "signerinfo_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!sdfuzz::RunSignerInfo(data, size)) std::abort();
    return 0;
}
