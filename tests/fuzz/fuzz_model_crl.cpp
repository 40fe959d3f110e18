// libFuzzer target for the CRL model's reader: ReadData and DecodeData, the
// re-encoding read back, the index against a walk; the body is shared with
// the corpus replay test.
#include <cstdlib>

#include "crl_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!crlfuzz::RunCrl(data, size)) std::abort();
    return 0;
}
