// Replays the kept inputs of the list fuzz target through its body.
#include "../../fuzz/certlist_fuzz.h"
#include "testsupport.h"

TEST(ListCorpus, SavedInputsStayConsistent) {
    EXPECT_GE(
        certtest::ReplayCorpus(std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/certlist", listfuzz::RunCertList), 8);
}
