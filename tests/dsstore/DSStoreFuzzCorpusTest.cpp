#include <gtest/gtest.h>

#include <filesystem>

#include "core/common/Error.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/platform/FileSystem.h"

namespace lumifold {
namespace {

// Inputs the fuzzer found interesting, replayed under every compiler: each must parse or be
// rejected with an Error, never crash.
TEST(DSStoreFuzzCorpusTest, EveryInputParsesOrIsRejected) {
    const std::filesystem::path folder =
        std::filesystem::path(LUMIFOLD_TEST_DATA_DIR) / "dsstore-fuzz";
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no fuzz corpus at " << folder;
    const DSStoreReader reader;
    std::size_t count = 0;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        SCOPED_TRACE(item.path().string());
        try {
            reader.parse(platform::readFile(item.path().string()));
        } catch (const Error& error) {
            EXPECT_EQ(error.domain(), DSStoreReader::kDomain);
        }
        ++count;
    }
    EXPECT_GT(count, 0u);
}

}  // namespace
}  // namespace lumifold
