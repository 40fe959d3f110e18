// Replays the saved inputs of the store-forms fuzz target through its body,
// so that a finding once fixed stays fixed in the normal build.
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "../../fuzz/store_fuzz.h"

TEST(StoreCorpus, SavedInputsStayConsistent) {
    const std::filesystem::path dir = std::filesystem::path(CERT_SOURCE_DIR) / "tests/fuzz/corpus/capi_store";
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(storefuzz::RunStore(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
            << entry.path().filename().string();
        ++count;
    }
    EXPECT_GT(count, 5);
}
