// Replays the saved inputs of the platform decoders' fuzz targets through
// their bodies, so that a finding once fixed stays fixed in the normal build.
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "../../fuzz/capi_fuzz.h"

TEST(CapiCorpus, SavedInputsStayConsistent) {
    const struct {
        const char* dir;
        bool (*run)(const std::uint8_t*, std::size_t);
    } targets[] = {{"capi_cert", capifuzz::RunCert},
                   {"capi_crl", capifuzz::RunCrl},
                   {"capi_name", capifuzz::RunName},
                   {"capi_extension", capifuzz::RunExtension}};
    for (const auto& t : targets) {
        const std::filesystem::path dir = std::filesystem::path(CERT_SOURCE_DIR) / "tests/fuzz/corpus" / t.dir;
        ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_TRUE(t.run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
                << t.dir << "/" << entry.path().filename().string();
            ++count;
        }
        EXPECT_GT(count, 10) << t.dir;
    }
}
