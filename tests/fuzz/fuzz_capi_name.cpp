// libFuzzer target for the platform decoders of names and name values; the body is
// shared with the corpus replay test.
#include <cstdlib>

#include "capi_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!capifuzz::RunName(data, size)) std::abort();
    return 0;
}
