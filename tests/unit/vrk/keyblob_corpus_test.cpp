// Replays the saved key-blob fuzz inputs through the fuzz body, so that a
// finding once fixed stays fixed in the normal build; and makes the seeds.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "../../fuzz/keyblob_fuzz.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

class KeyBlobCorpus : public certtest::HomeTest {};

TEST_F(KeyBlobCorpus, SavedInputsKeepTheirInvariants) {
    const fs::path dir = fs::path(CERT_SOURCE_DIR) / "tests/fuzz/corpus/keyblob";
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(keyblobfuzz::RunOne(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
            << entry.path().filename();
        ++count;
    }
    EXPECT_GE(count, 8);
}

// Writes the seeds into $KEYBLOB_SEEDS (run with
// --gtest_also_run_disabled_tests): blobs of each kind under the shared
// key, and container files of throwaway keys without their digest field.
TEST_F(KeyBlobCorpus, DISABLED_WriteSeeds) {
    const char* out = std::getenv("KEYBLOB_SEEDS");
    ASSERT_TRUE(out && *out) << "set KEYBLOB_SEEDS to a folder";
    fs::create_directories(out);
    auto save = [&](const std::string& name, const IdentObj& bytes) {
        certtest::WriteFile(fs::path(out) / name, std::string(bytes.view()));
    };
    const keyblobfuzz::Keys& keys = keyblobfuzz::Setup();
    struct Family {
        const char* name;
        DWORD type;
    } families[] = {{"2001", VRK_PROV_TYPE_GOST},
                    {"2012_256", VRK_PROV_TYPE_GOST_2012_256},
                    {"2012_512", VRK_PROV_TYPE_GOST_2012_512}};
    for (const auto& f : families) {
        // The fuzz body opens its container file under this name.
        const char* container = "fuzz";
        VRKSCApi::CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, container, nullptr, f.type, CRYPT_NEWKEYSET | CRYPT_SILENT));
        if (f.type == VRK_PROV_TYPE_GOST) {
            ASSERT_TRUE(VRKSetProvParam(p, PP_KEYEXCHANGE_PIN, "pw", 0));
        }
        VRKSCApi::CryptKey x, s;
        ASSERT_TRUE(VRKGenKey(p, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &x));
        ASSERT_TRUE(VRKGenKey(p, AT_SIGNATURE, CRYPT_EXPORTABLE, &s));
        IdentObj blob;
        ASSERT_TRUE(VRKExportKey(x, 0, PUBLICKEYBLOB, 0, blob));
        save(std::string("public_") + f.name, blob);
        ASSERT_TRUE(VRKExportKey(s, keys.shared, PRIVATEKEYBLOB, 0, blob));
        save(std::string("private_") + f.name, blob);
        std::string file = certtest::ReadFile(home_.path() + "/local/Varnok/Containers/fuzz.key");
        ASSERT_GT(file.size(), 38u);
        save(std::string("container_") + f.name, IdentObj(std::string_view(file).substr(0, file.size() - 38)));
        p.Release();
        HCRYPTPROV none = 0;
        ASSERT_TRUE(VRKAcquireContext(&none, container, nullptr, f.type, CRYPT_DELETEKEYSET));
    }
    for (ALG_ID alg : {CALG_GOST_28147, CALG_VRK_KEY_Z}) {
        VRKSCApi::CryptKey session;
        ASSERT_TRUE(VRKGenKey(keys.prov, alg, CRYPT_EXPORTABLE, &session));
        IdentObj blob;
        ASSERT_TRUE(VRKExportKey(session, keys.shared, SIMPLEBLOB, 0, blob));
        save("simple_" + std::to_string(alg), blob);
    }
}

}  // namespace
