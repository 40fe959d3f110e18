// libFuzzer target for the key container's information record (provider parameter 102); the body is
// shared with the corpus replay test.
#include <cstdlib>

#include "container_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!containerfuzz::RunContainerInfo(data, size)) std::abort();
    return 0;
}
