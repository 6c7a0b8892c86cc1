#include <gtest/gtest.h>

#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "tests/dsstore/DSStoreTestSupport.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

using testing::appendLongRecord;
using testing::nodeHeader;
using testing::putText;
using testing::putU32;
using testing::RawStore;
using testing::treeHeader;
using testing::u32At;

// Positions in a single-leaf image from the writer.
constexpr std::size_t kLeaf = 0x44;
constexpr std::size_t kAllocator = 0x2004;
constexpr std::size_t kSlots = kAllocator + 8;
constexpr std::size_t kDirectoryCount = kAllocator + 0x408;
constexpr std::size_t kDirectory = kAllocator + 0x40C;
// A nine-record, two-level image: leaves are blocks 1 and 2, the root block 3.
constexpr std::size_t kRoot = 0x40 + 2 * 4096 + 4;
constexpr std::size_t kTwoLevelSlots = 0x4000 + 4 + 8;

class DSStoreReaderTest : public ::testing::Test {
  protected:
    std::vector<DSStoreEntry> parse(const Bytes& image) const { return reader.parseEntries(image); }

    static std::vector<DSStoreEntry> threeEntries() {
        return {testing::longEntry("a", "Iloc", 1), testing::longEntry("b", "Iloc", 2),
                testing::longEntry("c", "Iloc", 3)};
    }
    // Each "long" record with a one-unit name is 4 + 2 + 8 + 4 = 18 bytes.
    static constexpr std::size_t kLongRecord = 18;

    static std::vector<DSStoreEntry> nineEntries() {
        std::vector<DSStoreEntry> entries;
        for (char name = 'a'; name <= 'i'; ++name) {
            entries.push_back(testing::entryWithRecordSize(std::string(1, name), 1000));
        }
        return entries;
    }

    void expectReaderError(const Bytes& image, int code, const char* message) const {
        EXPECT_LUMIFOLD_ERROR(parse(image), DSStoreReader::kDomain, code, message);
    }

    DSStoreReader reader;
    DSStoreWriter writer;
};

TEST_F(DSStoreReaderTest, ReadsRecordsOfEveryType) {
    const std::vector<DSStoreEntry> entries = {
        {".", "dscl", kTypeBool, DSStoreValue::boolean(true)},
        {".", "icvo", kTypeBlob, DSStoreValue::data({std::byte{1}, std::byte{0}})},
        {".", "ICVO", kTypeBool, DSStoreValue::boolean(false)},
        {"a", "cmmt", kTypeUstr, DSStoreValue::string("Caf\u00E9 \U0001F600")},
        {"a", "fwi0", kTypeLong, DSStoreValue::integer(0xFFFFFFFF)},
        {"a", "fwvh", kTypeShor, DSStoreValue::integer(7)},
        {"a", "moDD", kTypeDutc, DSStoreValue::uint64(0x0123456789ABCDEF)},
        {"a", "modD", kTypeComp, DSStoreValue::uint64(1)},
        {"a", "vstl", kTypeType, DSStoreValue::fourCC("icnv")},
    };
    auto sorted = entries;
    sortEntries(sorted);
    EXPECT_EQ(parse(writer.encode(entries)), sorted);
}

TEST_F(DSStoreReaderTest, ShorReadsTheWholeFieldAndAnyNonZeroByteIsTrue) {
    Bytes image = writer.encode({testing::longEntry("a", "fwvh", 0)});
    putText(image, kLeaf + 8 + 4 + 2 + 4, "shor");
    putU32(image, kLeaf + 8 + 4 + 2 + 8, 0x00010002);
    EXPECT_EQ(parse(image)[0].value, DSStoreValue::integer(0x00010002));

    image = writer.encode({{"a", "dscl", kTypeBool, DSStoreValue::boolean(true)}});
    image[kLeaf + 8 + 4 + 2 + 8] = std::byte{2};
    EXPECT_EQ(parse(image)[0].value, DSStoreValue::boolean(true));
}

TEST_F(DSStoreReaderTest, IllFormedUtf16BecomesEmptyText) {
    Bytes image = writer.encode({{"a", "cmmt", kTypeUstr, DSStoreValue::string("xy")}});
    // Make the name's one unit a lone high surrogate, and the text's first unit one too.
    image[kLeaf + 8 + 4] = std::byte{0xD8};
    image[kLeaf + 8 + 4 + 2 + 8 + 4] = std::byte{0xD8};
    const auto result = reader.parse(image);
    ASSERT_EQ(result.entries.size(), 1u);
    EXPECT_EQ(result.entries[0].filename, "");
    EXPECT_EQ(result.entries[0].value, DSStoreValue::string(""));
    // Writing it back would rename the record: the parse must not count as complete.
    EXPECT_EQ(result.alteredRecords, 1u);
    EXPECT_EQ(result.skippedRecords, 0u);
    EXPECT_FALSE(result.isComplete());
}

TEST_F(DSStoreReaderTest, LeafStopsAtAnUndecodableRecordAndSaysSo) {
    Bytes image = writer.encode(threeEntries());
    putText(image, kLeaf + 8 + kLongRecord + 4 + 2 + 4, "xxxx");  // second record's type
    const auto result = reader.parse(image);
    ASSERT_EQ(result.entries.size(), 1u);
    EXPECT_EQ(result.entries[0].filename, "a");
    EXPECT_EQ(result.skippedRecords, 2u);
    EXPECT_FALSE(result.isComplete());
}

TEST_F(DSStoreReaderTest, LeafWithTooLargeCountYieldsTheRecordsPresent) {
    Bytes image = writer.encode(threeEntries());
    putU32(image, kLeaf + 4, 5);
    const auto result = reader.parse(image);
    EXPECT_EQ(result.entries, threeEntries());
    EXPECT_FALSE(result.isComplete());
    EXPECT_TRUE(reader.parse(writer.encode(threeEntries())).isComplete());
}

TEST_F(DSStoreReaderTest, RecordsMustFitTheirNodeBlock) {
    Bytes image = writer.encode({testing::blobEntry("a", "bwsp", 8)});
    putU32(image, kLeaf + 8 + 4 + 2 + 8, 5000);  // blob length beyond the 4096-byte node
    EXPECT_TRUE(parse(image).empty());
    putU32(image, kLeaf + 8, 0x7FFFFFFF);  // name length beyond the node
    EXPECT_TRUE(parse(image).empty());
}

TEST_F(DSStoreReaderTest, InternalNodeWithMZeroYieldsTheRightmostSubtree) {
    Bytes image = writer.encode(nineEntries());
    putU32(image, kRoot + 4, 0);
    const auto entries = parse(image);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries.front().filename, "f");
    EXPECT_EQ(entries.back().filename, "i");
}

TEST_F(DSStoreReaderTest, InternalNodeStopsAtAnUndecodableRecordButStillWalksP) {
    Bytes image = writer.encode(nineEntries());
    putText(image, kRoot + 12 + 4 + 2 + 4, "zzzz");  // the root record's type code
    const auto result = reader.parse(image);
    ASSERT_EQ(result.entries.size(), 8u);
    EXPECT_EQ(result.entries[3].filename, "d");
    EXPECT_EQ(result.entries[4].filename, "f");
    EXPECT_EQ(result.skippedRecords, 1u);
}

TEST_F(DSStoreReaderTest, NodeSmallerThanItsHeaderHoldsNothing) {
    Bytes image = writer.encode(threeEntries());
    putU32(image, kSlots + 4, 0x40 | 2);  // block 1 (the leaf) is now 4 bytes
    EXPECT_TRUE(parse(image).empty());
}

TEST_F(DSStoreReaderTest, DirectoryCutShortUsesTheEntriesRead) {
    Bytes image = writer.encode(threeEntries());
    putU32(image, kDirectoryCount, 3);
    image.resize(kDirectory + 1 + 4 + 4 + 3);  // the first entry, then 3 stray bytes
    EXPECT_EQ(parse(image), threeEntries());
}

TEST_F(DSStoreReaderTest, LaterDirectoryEntryOfTheSameNameWins) {
    RawStore store;
    Bytes leaf = nodeHeader(0, 1);
    appendLongRecord(leaf, "a", "Iloc", 9);
    const std::uint32_t leafBlock = store.addBlock(leaf, 6);
    const std::uint32_t header = store.addBlock(treeHeader(leafBlock), 5);
    store.addDirectoryEntry("DSDB", 200);  // a zero slot: a one-byte block
    store.addDirectoryEntry("DSDB", header);
    EXPECT_EQ(parse(store.build()).size(), 1u);

    RawStore reversed;
    const std::uint32_t leaf2 = reversed.addBlock(leaf, 6);
    reversed.addDirectoryEntry("DSDB", reversed.addBlock(treeHeader(leaf2), 5));
    reversed.addDirectoryEntry("DSDB", 200);
    expectReaderError(reversed.build(), DSStoreReader::kTreeHeaderTooSmall, "DSDB block too small");
}

TEST_F(DSStoreReaderTest, OtherDirectoryNamesAreIgnored) {
    RawStore store;
    Bytes leaf = nodeHeader(0, 1);
    appendLongRecord(leaf, "a", "Iloc", 9);
    const std::uint32_t header = store.addBlock(treeHeader(store.addBlock(leaf, 6)), 5);
    store.addDirectoryEntry("dsdb", header);
    store.addDirectoryEntry("DSDBX", header);
    expectReaderError(store.build(), DSStoreReader::kDirectoryEntryMissing,
                      "DSDB TOC entry missing");
}

TEST_F(DSStoreReaderTest, RejectsANodeReachedTwice) {
    Bytes image = writer.encode(nineEntries());
    putU32(image, kRoot + 8, 3);  // the root's first child is the root
    expectReaderError(image, DSStoreReader::kInvalidTree, "Invalid B-tree structure");

    image = writer.encode(nineEntries());
    putU32(image, kRoot + 8, 2);  // the first child is also P
    expectReaderError(image, DSStoreReader::kInvalidTree, "Invalid B-tree structure");
}

TEST_F(DSStoreReaderTest, RejectsATreeDeeperThanTheBound) {
    RawStore store;
    // A chain of internal nodes with m = 0, each pointing at the next block.
    const std::uint32_t chain = 100;
    for (std::uint32_t i = 1; i <= chain; ++i) store.addBlock(nodeHeader(i + 1, 0), 5);
    store.addBlock(nodeHeader(0, 0), 5);
    store.addDirectoryEntry("DSDB", store.addBlock(treeHeader(1), 5));
    expectReaderError(store.build(), DSStoreReader::kInvalidTree, "Invalid B-tree structure");
}

TEST_F(DSStoreReaderTest, ReadsAnAddressTableLongerThan256Slots) {
    // 600 records of 1000 bytes take about 170 leaves: too few. 1200 give > 254 nodes.
    std::vector<DSStoreEntry> entries;
    for (int i = 0; i < 1200; ++i) {
        entries.push_back(testing::blobEntry("n" + std::to_string(10000 + i), "Iloc", 970));
    }
    const Bytes image = writer.encode(entries);
    const std::size_t allocator = u32At(image, 8) + 4;
    ASSERT_GT(u32At(image, allocator), 256u);
    auto sorted = entries;
    sortEntries(sorted);
    EXPECT_EQ(parse(image), sorted);
}

TEST_F(DSStoreReaderTest, ReadEntriesReadsTheFileAndPassesFileErrorsOn) {
    testing::TempHome home;
    const std::string path = home.writeFile(".DS_Store", writer.encode(threeEntries()));
    EXPECT_EQ(reader.readEntries(path), threeEntries());
    EXPECT_LUMIFOLD_ERROR_CODE(reader.readEntries(home / "missing"), "POSIX", ENOENT);
}

// Error paths, one per code, each reaching the check it targets.

TEST_F(DSStoreReaderTest, RejectsTooSmallInput) {
    Bytes image = writer.encode(threeEntries());
    image.resize(31);
    expectReaderError(image, DSStoreReader::kFileTooSmall, "File too small");
    image = writer.encode(threeEntries());
    image.resize(32);  // long enough for the magic, too short for the allocator block
    expectReaderError(image, DSStoreReader::kRootOffsetOutOfBounds, "Root offset out of bounds");
}

TEST_F(DSStoreReaderTest, RejectsABadMagic) {
    Bytes image = writer.encode(threeEntries());
    putU32(image, 0, 2);
    expectReaderError(image, DSStoreReader::kInvalidMagic, "Invalid magic header");
    image = writer.encode(threeEntries());
    putText(image, 4, "bud1");
    expectReaderError(image, DSStoreReader::kInvalidMagic, "Invalid magic header");
}

TEST_F(DSStoreReaderTest, AllocatorFixedPartMayEndExactlyAtTheEnd) {
    Bytes image = writer.encode(threeEntries());
    image.resize(0x2000 + 1040);  // R + 1040 == L: the count is the last 4 bytes
    putU32(image, kDirectoryCount, 0);
    expectReaderError(image, DSStoreReader::kDirectoryEntryMissing, "DSDB TOC entry missing");
    image.resize(0x2000 + 1039);
    expectReaderError(image, DSStoreReader::kRootOffsetOutOfBounds, "Root offset out of bounds");
}

TEST_F(DSStoreReaderTest, RejectsALongTableThatDoesNotFit) {
    Bytes image = writer.encode(threeEntries());
    putU32(image, kAllocator, 0xFFFFFFFF);  // claims four billion blocks
    expectReaderError(image, DSStoreReader::kTocOutOfBounds, "TOC out of bounds");
}

TEST_F(DSStoreReaderTest, RejectsADirectoryBlockNumberOutOfTable) {
    Bytes image = writer.encode(threeEntries());
    putU32(image, kDirectory + 1 + 4, 256);
    expectReaderError(image, DSStoreReader::kDirectoryEntryMissing, "DSDB TOC entry missing");
}

TEST_F(DSStoreReaderTest, RejectsAChildOutsideTheTable) {
    Bytes image = writer.encode(nineEntries());
    putU32(image, kRoot + 8, 300);
    expectReaderError(image, DSStoreReader::kInvalidBlockId, "Invalid block id");
    image = writer.encode(nineEntries());
    putU32(image, kRoot, 256);  // P
    expectReaderError(image, DSStoreReader::kInvalidBlockId, "Invalid block id");
}

TEST_F(DSStoreReaderTest, RejectsABlockRunningPastTheEnd) {
    Bytes image = writer.encode(nineEntries());
    putU32(image, kTwoLevelSlots + 4 * 2, 0x40 | 30);  // leaf 2 claims a gigabyte
    expectReaderError(image, DSStoreReader::kBlockOutOfRange, "Block data out of range");
    image = writer.encode(threeEntries());
    putU32(image, kSlots + 4, 0xFFFFFFE0 | 12);  // offset near 4 GiB
    expectReaderError(image, DSStoreReader::kBlockOutOfRange, "Block data out of range");
}

TEST_F(DSStoreReaderTest, RejectsATreeHeaderBlockUnder20Bytes) {
    Bytes image = writer.encode(threeEntries());
    putU32(image, kSlots + 4 * 2, 0x1040 | 4);  // 16 bytes
    expectReaderError(image, DSStoreReader::kTreeHeaderTooSmall, "DSDB block too small");
}

TEST_F(DSStoreReaderTest, ErrorsDeepInTheTreeDropThePartialList) {
    Bytes image = writer.encode(nineEntries());
    putU32(image, kRoot, 250);  // P is a zero slot: a one-byte block, which holds nothing
    EXPECT_EQ(parse(image).size(), 5u);
    putU32(image, kTwoLevelSlots + 4 * 250, 0x7FFFFFE0 | 12);
    expectReaderError(image, DSStoreReader::kBlockOutOfRange, "Block data out of range");
}

}  // namespace
}  // namespace lumifold
