#include <gtest/gtest.h>

#include "../../fuzz/crl_fuzz.h"
#include "testsupport.h"

TEST(CrlCorpus, SavedInputsStayConsistent) {
    EXPECT_GE(certtest::ReplayCorpus(std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/model_crl", crlfuzz::RunCrl),
              8);
}
