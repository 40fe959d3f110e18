#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "../../fuzz/signeddata_fuzz.h"
#include "../../fuzz/signerinfo_fuzz.h"
#include "testsupport.h"

namespace {

std::string Corpus(const char* name) { return std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/" + name; }

TEST(SignedDataCorpus, SavedInputsStayConsistent) {
    EXPECT_GE(certtest::ReplayCorpus(Corpus("signeddata"), sdfuzz::RunSignedData), 10);
    EXPECT_GE(certtest::ReplayCorpus(Corpus("signerinfo"), sdfuzz::RunSignerInfo), 5);
}

// Seeds the signer info corpus with the signer infos of the signed data
// corpus (run by hand: --gtest_also_run_disabled_tests).
TEST(SignedDataCorpus, DISABLED_WriteSignerInfoSeeds) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(Corpus("signeddata"))) {
        cert::SignedDataReader reader;
        cert::SignedDataParts parts;
        int st = 0;
        if (!reader.ReadFile(e.path().string(), 0, parts, &st)) continue;
        for (const IdentObj& si : parts.signerInfos) {
            std::ofstream out(Corpus("signerinfo") + "/" + e.path().filename().string() + "_" + std::to_string(n++),
                              std::ios::binary);
            out.write(reinterpret_cast<const char*>(si.data()), si.size());
        }
    }
    EXPECT_GT(n, 0);
}

}  // namespace
