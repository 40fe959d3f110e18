// libFuzzer target for the chain engine; the body is shared with the corpus
// replay test.
#include <cstdlib>

#include "chain_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!chainfuzz::RunChain(data, size)) std::abort();
    return 0;
}
