// libFuzzer target for DER names through the text decoder, the structure
// decoder and the name-as-data methods; the body is shared with the corpus
// replay test.
#include <cstdlib>

#include "name_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!namefuzz::RunNameDer(data, size)) std::abort();
    return 0;
}
