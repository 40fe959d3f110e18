// libFuzzer target for the streaming reader of signed data; the body is
// shared with the corpus replay test.
#include <cstdlib>

#include "signeddata_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!sdfuzz::RunSignedData(data, size)) std::abort();
    return 0;
}
