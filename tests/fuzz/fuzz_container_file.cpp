// libFuzzer target for the key container's file; the body is
// shared with the corpus replay test.
#include <cstdlib>

#include "container_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!containerfuzz::RunContainerFile(data, size)) std::abort();
    return 0;
}
