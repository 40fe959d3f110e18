// libFuzzer target for the verification of a signed file; the body is
// shared with the corpus replay test.
#include <cstdlib>

#include "verify_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!verifyfuzz::RunVerify(data, size)) std::abort();
    return 0;
}
