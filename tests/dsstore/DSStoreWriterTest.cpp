#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileSystem.h"
#include "tests/dsstore/DSStoreTestSupport.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

using namespace lumifold::testing;

TEST(DSStoreWriterTest, LaysOutHeaderNodesTreeHeaderAndAllocator) {
    std::vector<DSStoreEntry> nine;
    for (char name = 'a'; name <= 'i'; ++name) {
        nine.push_back(entryWithRecordSize(std::string(1, name), 1000));
    }
    struct Case {
        const char* what;
        std::vector<DSStoreEntry> entries;
        std::size_t size;
        std::vector<std::pair<std::size_t, std::uint32_t>> words;  // file position, value
    };
    const std::vector<Case> cases = {
        {"one record",
         {longEntry("a", "Iloc", 0x01020304)},
         10244,
         {// header, then its 16 reserved bytes
          {0, 1},
          {4, word("Bud1")},
          {8, 0x2000},
          {12, 2048},
          {16, 0x2000},
          {20, 0x100C},
          {24, 0x87},
          {28, 0x200B},
          {32, 0},
          // the leaf: P, m, then the record (name "a", code, type, value)
          {0x44, 0},
          {0x48, 1},
          {0x4C, 1},
          {0x50, 0x0061'496C},
          {0x54, word("oclo")},
          {0x58, 0x6E67'0102},
          {0x5C, 0x0304'0000},
          // tree header: root, levels, records, nodes, page size
          {0x1044, 1},
          {0x1048, 1},
          {0x104C, 1},
          {0x1050, 1},
          {0x1054, 4096},
          // allocator: blocks, addresses (allocator, leaf, tree header), directory
          {0x2004, 3},
          {0x2008, 0},
          {0x200C, 0x200B},
          {0x2010, 0x4C},
          {0x2014, 0x1045},
          {0x2018, 0},
          {0x240C, 1},
          {0x2410, 0x0444'5344},
          {0x2414, 0x4200'0000},
          {0x2415, 2}}},
        {"no record", {}, 10244, {{0x48, 0}, {0x104C, 0}, {0x2004, 3}}},
        {"a blob stored as a long",
         {{"a", "Iloc", kTypeLong, DSStoreValue::data({std::byte{7}})}},
         10244,
         {{0x56, word("long")}, {0x5A, 1}, {0x5E, 0x0700'0000}}},
        {"nine 1000-byte records in two levels",
         nine,
         18436,
         {// leaves of four records each; the root holds "e" between them
          {0x48, 4},
          {0x1048, 4},
          {0x104E, 0x0001'0066},
          {0x2044, 2},
          {0x2048, 1},
          {0x204C, 1},
          {0x2052, 0x0001'0065},
          {0x3044, 3},
          {0x3048, 2},
          {0x304C, 9},
          {0x3050, 3},
          {8, 0x4000},
          {0x4004, 5},
          {0x400C, 0x400B},
          {0x4010, 0x4C},
          {0x4014, 0x104C},
          {0x4018, 0x204C},
          {0x401C, 0x3045},
          {0x4415, 4}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes image = DSStoreWriter().encode(c.entries);
        ASSERT_EQ(image.size(), c.size);
        for (const auto& [position, value] : c.words) {
            EXPECT_EQ(u32At(image, position), value) << std::hex << "at 0x" << position;
        }
    }
}

// A layout exists unless a record overflows a leaf, or two neighbours both overflow an
// internal node: each must then sit alone in a leaf, with nothing between them to separate them.
bool layoutExists(const std::vector<std::size_t>& sizes) {
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (sizes[i] > 4088 || (i > 0 && sizes[i - 1] > 4084 && sizes[i] > 4084)) return false;
    }
    return true;
}

// Records of `sizes`, named in sorted order, read back exactly (so no 4096-byte node block
// overflowed: the reader never reads past one), or no layout exists and nothing is encoded.
void expectWrittenOrRefused(const std::vector<std::size_t>& sizes) {
    SCOPED_TRACE(::testing::PrintToString(sizes));
    std::vector<DSStoreEntry> entries;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        entries.push_back(entryWithRecordSize(std::string(1, char('a' + i)), sizes[i]));
    }
    if (!layoutExists(sizes)) {
        EXPECT_LUMIFOLD_ERROR(DSStoreWriter().encode(entries), DSStoreWriter::kDomain,
                              DSStoreWriter::kRecordTooLarge, "Record too large");
        return;
    }
    Bytes image;
    ASSERT_NO_THROW(image = DSStoreWriter().encode(entries));
    const DSStoreParseResult result = DSStoreReader().parse(image);
    EXPECT_TRUE(result.isComplete());
    EXPECT_TRUE(result.entries == entries);
}

TEST(DSStoreWriterTest, WritesEveryListThatHasALayout) {
    const std::vector<std::vector<std::size_t>> lists = {
        {4088},
        {4089},  // a record alone in a leaf
        // too big for an internal node: its neighbours must separate it
        {100, 4085},
        {100, 4086},
        {100, 4087},
        {100, 4088},
        {4088, 100},
        {100, 4086, 100},
        {2000, 2000, 200, 4086, 200},
        {4085, 4085},
        {100, 4088, 4086, 100},
        // the last record moves up and needs a right neighbour
        {1000, 1000, 1000, 1000, 1000},
        {1000, 1000, 1000, 3000, 3000, 3000, 3000},
        {3000, 3000}};
    for (const auto& sizes : lists) expectWrittenOrRefused(sizes);
}

TEST(DSStoreWriterTest, WritesRandomListsNearTheSizeLimitsWheneverALayoutExists) {
    const std::uint64_t seed = testSeed(0x1EAF);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (LUMIFOLD_TEST_SEED replays it)");
    std::mt19937_64 random(seed);
    const std::pair<std::size_t, std::size_t> kClusters[] = {{18, 60}, {1990, 2050}, {4078, 4089}};
    for (int list = 0; list < 400; ++list) {
        std::vector<std::size_t> sizes(1 + random() % 26);
        for (auto& size : sizes) {
            const auto [low, high] = kClusters[random() % 3];
            size = low + random() % (high - low + 1);
        }
        expectWrittenOrRefused(sizes);
    }
}

TEST(DSStoreWriterTest, RejectsEachFaultyRecordBeforeWriting) {
    using W = DSStoreWriter;
    const std::vector<std::tuple<DSStoreEntry, int, const char*>> cases = {
        {longEntry("a", "Ilo", 0), W::kInvalidCode, "Invalid code"},
        {longEntry("a", "Il\u0100c", 0), W::kInvalidCode, "Invalid code"},
        {{"a", "Iloc", "longs", DSStoreValue::integer(0)}, W::kInvalidTypecode, "Invalid typecode"},
        {{"a", "vstl", kTypeType, DSStoreValue::fourCC("icnvv")},
         W::kInvalidFourCC,
         "Invalid fourCC"},
        {longEntry("bad\xFF", "Iloc", 0), W::kInvalidText, "Invalid text"},
        {{"a", "cmmt", kTypeUstr, DSStoreValue::string("\xC3")}, W::kInvalidText, "Invalid text"},
        {entryWithRecordSize("a", 4089), W::kRecordTooLarge, "Record too large"},
    };
    for (const auto& [entry, code, message] : cases) {
        SCOPED_TRACE(message);
        // The first fault in sorted order decides: "zz" comes after every faulty entry.
        EXPECT_LUMIFOLD_ERROR(
            DSStoreWriter().encode({{"zz", "Il", "x", DSStoreValue::integer(0)}, entry}),
            DSStoreWriter::kDomain, code, message);
    }
}

TEST(DSStoreWriterTest, WriteReplacesTheFileAndKeepsItsPermissions) {
    TempHome home;
    const std::string path = home.writeFile("Desktop/.DS_Store", "old");
    platform::setPermissionBits(path, 0640);
    const std::vector<DSStoreEntry> entries = {longEntry(".", "Iloc", 5)};
    DSStoreWriter().write(entries, path);
    EXPECT_EQ(DSStoreReader().readEntries(path), entries);
    EXPECT_EQ(platform::permissionBits(path), 0640u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home / "Desktop"), {}), 1);

    // An encoding error touches nothing.
    EXPECT_THROW(DSStoreWriter().write({longEntry("a", "Ilo", 0)}, path), Error);
    EXPECT_EQ(DSStoreReader().readEntries(path), entries);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home / "Desktop"), {}), 1);
}

TEST(DSStoreWriterTest, FailedReplaceKeepsTheTemporaryFile) {
    TempHome home;
    home.writeFile("Desktop/.DS_Store/occupied", "x");  // a folder stands where the file goes
    EXPECT_THROW(DSStoreWriter().write({longEntry(".", "Iloc", 5)}, home / "Desktop/.DS_Store"),
                 Error);
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(home / "Desktop")) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].rfind("..DS_Store.tmp.", 0), 0u) << names[0];
    EXPECT_EQ(names[0].size(), std::string("..DS_Store.tmp.").size() + 36);
}

}  // namespace
}  // namespace lumifold
