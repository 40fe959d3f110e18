#include <gtest/gtest.h>

#include "../../fuzz/name_fuzz.h"
#include "testsupport.h"

TEST(NameCorpus, SavedInputsStayConsistent) {
    const std::string corpus = std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/";
    EXPECT_GE(certtest::ReplayCorpus(corpus + "name_der", namefuzz::RunNameDer), 10);
    EXPECT_GE(certtest::ReplayCorpus(corpus + "name_text", namefuzz::RunNameText), 10);
}
