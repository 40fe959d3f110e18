#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "../../fuzz/der_fuzz.h"

TEST(AsnCorpus, SavedInputsStayConsistent) {
    const std::filesystem::path dir = std::filesystem::path(CERT_SOURCE_DIR) / "tests/fuzz/corpus/der";
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(derfuzz::RunOne(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
            << entry.path().filename();
        ++count;
    }
    EXPECT_GT(count, 10);
}
