// libFuzzer target for the ASN.1 codec; the body is shared with the corpus
// replay test.
#include <cstdlib>

#include "der_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!derfuzz::RunOne(data, size)) std::abort();
    return 0;
}
