// libFuzzer target for the platform decoders of CRLs and their to-be-signed parts; the body is
// shared with the corpus replay test.
#include <cstdlib>

#include "capi_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!capifuzz::RunCrl(data, size)) std::abort();
    return 0;
}
