// Replays the kept fuzz inputs of the key blobs, the container information
// record and the container file, so that a finding once fixed stays fixed
// in the normal build.
#include "../../fuzz/container_fuzz.h"
#include "../../fuzz/keyblob_fuzz.h"
#include "testsupport.h"

namespace {

class VrkCorpus : public certtest::HomeTest {};

TEST_F(VrkCorpus, SavedInputsKeepTheirInvariants) {
    const std::string corpus = std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/";
    EXPECT_GE(certtest::ReplayCorpus(corpus + "keyblob", keyblobfuzz::RunOne), 8);
    EXPECT_GE(certtest::ReplayCorpus(corpus + "container_info", containerfuzz::RunContainerInfo), 4);
    EXPECT_GE(certtest::ReplayCorpus(corpus + "container_file", containerfuzz::RunContainerFile), 4);
}

}  // namespace
