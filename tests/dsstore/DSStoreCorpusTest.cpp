#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "core/common/Error.h"
#include "core/dsstore/DSStoreEntryJson.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileSystem.h"

namespace lumifold {
namespace {

namespace fs = std::filesystem;

// Every file in `folder` whose name ends in `suffix`, in name order.
std::vector<fs::path> files(const fs::path& folder, const std::string& suffix = "") {
    std::vector<fs::path> found;
    for (const auto& item : fs::directory_iterator(folder)) {
        if (item.path().filename().string().ends_with(suffix)) found.push_back(item.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<nlohmann::json> readJsonLines(const fs::path& path) {
    std::vector<nlohmann::json> lines;
    std::ifstream input(path);
    for (std::string text; std::getline(input, text);) {
        if (!text.empty()) lines.push_back(nlohmann::json::parse(text));
    }
    return lines;
}

// Stores written by the file manager and by other writers, kept outside the project.
class DSStoreCorpusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::is_directory(kRoot))
            GTEST_SKIP() << "The store corpus is absent (" << kRoot << ")";
    }
    const fs::path kRoot = fs::path(LUMIFOLD_SHARED_CORPUS_DIR) / "dsstore";
    DSStoreReader reader;
};

TEST_F(DSStoreCorpusTest, RealStoresGiveTheExpectedRecordsAndReEncodeToThem) {
    const auto stores = files(kRoot / "real", ".DS_Store");
    EXPECT_EQ(stores.size(), 46u);
    for (const auto& store : stores) {
        SCOPED_TRACE(store.filename().string());
        const auto result = reader.parse(platform::readFile(store.string()));
        EXPECT_TRUE(result.isComplete());
        std::vector<nlohmann::json> lines;
        for (const auto& entry : result.entries) {
            lines.push_back(nlohmann::json::parse(entryToJsonLine(entry).dump()));
        }
        EXPECT_EQ(lines, readJsonLines(kRoot / "expected" / store.stem().concat(".jsonl")));
        EXPECT_TRUE(reader.parse(DSStoreWriter().encode(result.entries)).entries == result.entries);
    }
}

TEST_F(DSStoreCorpusTest, DamagedStoresAreRejectedCleanly) {
    const auto stores = files(kRoot / "real-damaged", ".DS_Store");
    EXPECT_EQ(stores.size(), 3u);
    for (const auto& store : stores) {
        SCOPED_TRACE(store.filename().string());
        EXPECT_THROW(reader.parse(platform::readFile(store.string())), Error);
    }
}

TEST_F(DSStoreCorpusTest, OtherWritersStoresAreRead) {
    const auto stores = files(kRoot / "peer-written", ".DS_Store");
    EXPECT_FALSE(stores.empty());
    for (const auto& store : stores) {
        SCOPED_TRACE(store.filename().string());
        const std::string name = store.filename().string();
        const auto result = reader.parse(platform::readFile(store.string()));
        EXPECT_TRUE(result.isComplete());
        // That writer left its one leaf empty (its tree header still counts one record).
        if (name.starts_with("oversized-record.")) {
            EXPECT_TRUE(result.entries.empty());
            continue;
        }
        // Sources that describe records by construction rather than by value are skipped.
        std::vector<DSStoreEntry> expected;
        for (const auto& line :
             readJsonLines(kRoot / "peer-written" / (name.substr(0, name.find('.')) + ".jsonl"))) {
            if (line.contains("type")) expected.push_back(entryFromJsonLine(line));
        }
        if (expected.empty()) continue;
        // Other writers order records their own way, and one recomposes decomposed names.
        EXPECT_TRUE(std::is_permutation(result.entries.begin(), result.entries.end(),
                                        expected.begin(), expected.end()));
    }
}

}  // namespace
}  // namespace lumifold
