// Replays the saved inputs of the platform decoders' fuzz targets through
// their bodies, so that a finding once fixed stays fixed in the normal build.
#include <gtest/gtest.h>

#include "../../fuzz/capi_fuzz.h"
#include "testsupport.h"

TEST(CapiCorpus, SavedInputsStayConsistent) {
    const struct {
        const char* dir;
        bool (*run)(const std::uint8_t*, std::size_t);
    } targets[] = {{"capi_cert", capifuzz::RunCert},
                   {"capi_crl", capifuzz::RunCrl},
                   {"capi_name", capifuzz::RunName},
                   {"capi_extension", capifuzz::RunExtension}};
    for (const auto& t : targets)
        EXPECT_GT(certtest::ReplayCorpus(std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/" + t.dir, t.run), 10)
            << t.dir;
}
