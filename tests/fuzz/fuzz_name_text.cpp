// libFuzzer target for name texts through the encoder and back; the body is
// shared with the corpus replay test.
#include <cstdlib>

#include "name_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!namefuzz::RunNameText(data, size)) std::abort();
    return 0;
}
