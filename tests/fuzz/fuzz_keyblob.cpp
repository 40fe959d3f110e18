// libFuzzer target: the key blobs and the key container file. The containers
// it writes go to a home of its own.
#include <filesystem>

#include "fuzz_target.h"
#include "keyblob_fuzz.h"

namespace {
std::string g_home;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/keyblob-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    cert::platform::SetCertHome(g_home = tmpl);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_home, ec);
    });
    return 0;
}

CERT_FUZZ_TARGET(keyblobfuzz::RunOne)
