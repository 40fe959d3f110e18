// Replays the saved inputs of the store-forms fuzz target through its body,
// so that a finding once fixed stays fixed in the normal build.
#include "../../fuzz/store_fuzz.h"
#include "testsupport.h"

TEST(StoreCorpus, SavedInputsStayConsistent) {
    EXPECT_GT(
        certtest::ReplayCorpus(std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/capi_store", storefuzz::RunStore), 5);
}
