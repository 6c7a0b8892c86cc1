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

const fs::path kRoot = fs::path(LUMIFOLD_SHARED_CORPUS_DIR) / "dsstore";

// The stores in one folder of the corpus, in name order.
std::vector<fs::path> stores(const std::string& folder) {
    std::vector<fs::path> found;
    for (const auto& item : fs::directory_iterator(kRoot / folder)) {
        if (item.path().extension() == ".DS_Store") found.push_back(item.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The records a JSON-lines file gives by value (lines describing a construction are skipped).
std::vector<DSStoreEntry> expectedEntries(const fs::path& path) {
    std::vector<DSStoreEntry> entries;
    std::ifstream input(path);
    for (std::string text; std::getline(input, text);) {
        const auto line = nlohmann::json::parse(text);
        if (line.contains("type")) entries.push_back(entryFromJsonLine(line));
    }
    return entries;
}

// Stores written by the file manager and by other writers, kept outside the project.
TEST(DSStoreCorpusTest, RealAndOtherWritersStoresReadAsExpectedAndDamagedOnesAreRefused) {
    if (!fs::is_directory(kRoot)) GTEST_SKIP() << "The store corpus is absent (" << kRoot << ")";
    const DSStoreReader reader;
    EXPECT_EQ(stores("real").size(), 46u);
    for (const auto& store : stores("real")) {
        SCOPED_TRACE(store.filename().string());
        const auto result = reader.parse(platform::readFile(store.string()));
        EXPECT_TRUE(result.isComplete());
        EXPECT_EQ(result.entries,
                  expectedEntries(kRoot / "expected" / store.stem().concat(".jsonl")));
        EXPECT_EQ(reader.parse(DSStoreWriter().encode(result.entries)).entries, result.entries);
    }
    EXPECT_EQ(stores("real-damaged").size(), 3u);
    for (const auto& store : stores("real-damaged")) {
        EXPECT_THROW(reader.parse(platform::readFile(store.string())), Error) << store;
    }
    for (const auto& store : stores("peer-written")) {
        SCOPED_TRACE(store.filename().string());
        const std::string name = store.filename().string();
        const auto result = reader.parse(platform::readFile(store.string()));
        EXPECT_TRUE(result.isComplete());
        // Other writers order records their own way, and one recomposes decomposed names; one
        // left its only leaf empty (its tree header still counts one record).
        const bool emptyLeaf = name.starts_with("oversized-record.");
        const auto expected = emptyLeaf
                                  ? std::vector<DSStoreEntry>{}
                                  : expectedEntries(kRoot / "peer-written" /
                                                    (name.substr(0, name.find('.')) + ".jsonl"));
        if (expected.empty() && !emptyLeaf) continue;  // described by construction only
        EXPECT_TRUE(std::is_permutation(result.entries.begin(), result.entries.end(),
                                        expected.begin(), expected.end()));
    }
}

}  // namespace
}  // namespace lumifold
