// Replays the saved inputs of the CRL model's fuzz target through its body,
// so that a finding once fixed stays fixed in the normal build.
#include <gtest/gtest.h>

#include "../../fuzz/crl_fuzz.h"
#include "testsupport.h"

TEST(CrlCorpus, SavedInputsStayConsistent) {
    EXPECT_GE(certtest::ReplayCorpus(std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/model_crl", crlfuzz::RunCrl),
              8);
}
