// Replays the saved inputs of the signed data reader's fuzz target through
// its body, so that a finding once fixed stays fixed in the normal build.
#include <gtest/gtest.h>

#include "../../fuzz/signeddata_fuzz.h"
#include "testsupport.h"

TEST(SignedDataCorpus, SavedInputsStayConsistent) {
    EXPECT_GE(
        certtest::ReplayCorpus(std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/signeddata", sdfuzz::RunSignedData),
        10);
}
