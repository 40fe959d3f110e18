#include <filesystem>

#include <gtest/gtest.h>

#include "../../fuzz/model_fuzz.h"
#include "testsupport.h"

TEST(ModelCorpus, SavedInputsStayConsistent) {
    const std::string dir = std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/model_cert";
    EXPECT_GT(certtest::ReplayCorpus(dir, modelfuzz::RunCert), 10);
    // The corpus keeps whole certificates of every key kind to start from.
    int certificates = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        CCTFX509Certificate cert;
        certificates += cert.DecodeCert(IdentObj(certtest::ReadFile(entry.path())));
    }
    EXPECT_GE(certificates, 4);
}
