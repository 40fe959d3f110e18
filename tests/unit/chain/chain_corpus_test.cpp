// The kept inputs of the chain fuzz target, replayed by the normal build.
#include "../../fuzz/chain_fuzz.h"
#include "testsupport.h"

namespace {

class ChainCorpus : public certtest::HomeTest {};

TEST_F(ChainCorpus, KeptInputsKeepTheRules) {
    EXPECT_GE(certtest::ReplayCorpus(std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/chain", chainfuzz::RunChain),
              15);
}

}  // namespace
