// libFuzzer target for the key blobs and the key container file; the body
// is shared with the corpus replay test.
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>

#include "keyblob_fuzz.h"

namespace {
std::string g_home;
void RemoveHome() {
    std::error_code ec;
    std::filesystem::remove_all(g_home, ec);
}
}  // namespace

// The containers the target writes go to a home of its own.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/keyblob-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    g_home = tmpl;
    cert::platform::SetCertHome(g_home);
    std::atexit(RemoveHome);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!keyblobfuzz::RunOne(data, size)) std::abort();
    return 0;
}
