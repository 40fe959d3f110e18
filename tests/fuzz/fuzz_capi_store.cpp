// libFuzzer target for the stored forms of certificate stores and property 2; the body is shared with the corpus
// replay test.
#include <cstdlib>

#include "store_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!storefuzz::RunStore(data, size)) std::abort();
    return 0;
}
