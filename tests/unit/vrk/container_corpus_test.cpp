// Replays the saved fuzz inputs of the container information record and
// the container file through their fuzz bodies, so that a finding once
// fixed stays fixed in the normal build; and makes the seeds.
#include <filesystem>

#include "../../fuzz/container_fuzz.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;
using certtest::Sh;

class ContainerCorpus : public certtest::HomeTest {};

TEST_F(ContainerCorpus, SavedInputsKeepTheirInvariants) {
    const fs::path corpus = fs::path(CERT_SOURCE_DIR) / "tests/fuzz/corpus";
    EXPECT_GE(certtest::ReplayCorpus(corpus / "container_info", containerfuzz::RunContainerInfo), 4);
    EXPECT_GE(certtest::ReplayCorpus(corpus / "container_file", containerfuzz::RunContainerFile), 4);
}

// Writes the seeds into $CONTAINER_SEEDS/{container_info,container_file}
// (run with --gtest_also_run_disabled_tests): the record and the file of
// throwaway containers, one key of each family, two keys, a certificate.
TEST_F(ContainerCorpus, DISABLED_WriteSeeds) {
    const char* out = std::getenv("CONTAINER_SEEDS");
    ASSERT_TRUE(out && *out) << "set CONTAINER_SEEDS to a folder";
    for (const char* sub : {"container_info", "container_file"}) fs::create_directories(fs::path(out) / sub);
    certtest::TempDir dir;
    const std::string pw = dir / "pw";
    certtest::WriteFile(pw, "pw\n");
    struct Seed {
        const char* name;
        const char* args;
        bool certificate;
    } seeds[] = {{"2001", "--alg gost2001", false},
                 {"2012_256_two_keys", "--alg gost12-256 --spec exchange", false},
                 {"2012_512", "--alg gost12-512", false},
                 {"2012_256_certificate", "--alg gost12-256", true}};
    for (const Seed& s : seeds) {
        auto r = certtest::Ctf(std::string("key new --container seed --password-file ") + Sh(pw) + " " + s.args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        if (std::string(s.name) == "2012_256_two_keys") {
            r = certtest::Ctf("key new --container seed --alg gost12-256 --password-file " + Sh(pw));
            ASSERT_EQ(r.exitCode, 0) << r.err;
        }
        if (s.certificate) {
            r = certtest::Ctf("cert new --container seed --password-file " + Sh(pw) + " --subject CN=Seed --out " +
                              Sh(dir / "c.der"));
            ASSERT_EQ(r.exitCode, 0) << r.err;
            VRKSCApi::CryptProvider p;
            VRKSCApi::CryptKey k;
            ASSERT_TRUE(VRKAcquireContext(&p, "seed", nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT) &&
                        VRKSetProvParam(p, PP_SIGNATURE_PIN, "pw", 0) && VRKGetUserKey(p, AT_SIGNATURE, &k) &&
                        VRKSetKeyParam(k, KP_CERTIFICATE, IdentObj(certtest::ReadFile(dir / "c.der"))));
        }
        VRKSCApi::CryptProvider p;
        IdentObj record;
        ASSERT_TRUE(VRKAcquireContext(&p, "seed", nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT) &&
                    VRKGetProvParam(p, VRK_PP_CONTAINER_INFO, record, 0));
        certtest::WriteFile(fs::path(out) / "container_info" / s.name, std::string(record.view()));
        const std::string file = certtest::ReadFile(home_.path() + "/local/Varnok/Containers/seed.key");
        ASSERT_GT(file.size(), 38u);
        certtest::WriteFile(fs::path(out) / "container_file" / s.name, file.substr(0, file.size() - 38));
        p.Release();
        HCRYPTPROV gone = 0;
        ASSERT_TRUE(VRKAcquireContext(&gone, "seed", nullptr, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET));
    }
}

}  // namespace
