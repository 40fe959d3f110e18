// libFuzzer target for the list file readers; the body is shared with the
// corpus replay test.
#include <cstdlib>

#include "certlist_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!listfuzz::RunCertList(data, size)) std::abort();
    return 0;
}
