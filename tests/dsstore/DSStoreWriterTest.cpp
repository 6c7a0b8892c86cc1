#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>

#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileSystem.h"
#include "tests/dsstore/DSStoreTestSupport.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

using testing::u32At;

class DSStoreWriterTest : public ::testing::Test {
  protected:
    void expectWriterError(const std::vector<DSStoreEntry>& entries, int code,
                           const char* message) const {
        EXPECT_LUMIFOLD_ERROR(writer.encode(entries), DSStoreWriter::kDomain, code, message);
    }

    // Every name in the folder, hidden ones included.
    static std::vector<std::string> allNames(const std::string& folder) {
        std::vector<std::string> names;
        DIR* dir = ::opendir(folder.c_str());
        while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        if (dir) ::closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }

    DSStoreWriter writer;
    DSStoreReader reader;
};

TEST_F(DSStoreWriterTest, OneEntryGivesTheMinimalLayout) {
    const DSStoreEntry entry = testing::longEntry("a", "Iloc", 0x01020304);
    const Bytes image = writer.encode({entry});
    ASSERT_EQ(image.size(), 10244u);

    // Header.
    EXPECT_EQ(u32At(image, 0), 1u);
    EXPECT_EQ(asText(ByteView(image).subspan(4, 4)), "Bud1");
    EXPECT_EQ(u32At(image, 8), 0x2000u);
    EXPECT_EQ(u32At(image, 12), 2048u);
    EXPECT_EQ(u32At(image, 16), 0x2000u);
    const std::uint8_t reserved[] = {0x00, 0x00, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x87,
                                     0x00, 0x00, 0x20, 0x0B, 0x00, 0x00, 0x00, 0x00};
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(std::to_integer<std::uint8_t>(image[20 + i]), reserved[i]) << i;
    }

    // The leaf: P = 0, m = 1, then the record byte for byte.
    EXPECT_EQ(u32At(image, 0x44), 0u);
    EXPECT_EQ(u32At(image, 0x48), 1u);
    const std::uint8_t record[] = {0,   0,   0,   1,   0,   'a', 'I', 'l', 'o',
                                   'c', 'l', 'o', 'n', 'g', 1,   2,   3,   4};
    for (std::size_t i = 0; i < sizeof record; ++i) {
        EXPECT_EQ(std::to_integer<std::uint8_t>(image[0x4C + i]), record[i]) << i;
    }

    // Tree header: root 1, one level, one record, one node, page size.
    const std::array<std::uint32_t, 5> treeHeader = {1, 1, 1, 1, 4096};
    for (std::size_t i = 0; i < treeHeader.size(); ++i) {
        EXPECT_EQ(u32At(image, 0x1044 + 4 * i), treeHeader[i]);
    }

    // Allocator: three blocks, their addresses, a zero slot, then the directory.
    EXPECT_EQ(u32At(image, 0x2004), 3u);
    EXPECT_EQ(u32At(image, 0x2008), 0u);
    EXPECT_EQ(u32At(image, 0x200C), 0x200Bu);
    EXPECT_EQ(u32At(image, 0x2010), 0x4Cu);
    EXPECT_EQ(u32At(image, 0x2014), 0x1045u);
    EXPECT_EQ(u32At(image, 0x2018), 0u);
    EXPECT_EQ(u32At(image, 0x2004 + 0x408), 1u);
    EXPECT_EQ(std::to_integer<int>(image[0x2004 + 0x40C]), 4);
    EXPECT_EQ(asText(ByteView(image).subspan(0x2004 + 0x40D, 4)), "DSDB");
    EXPECT_EQ(u32At(image, 0x2004 + 0x411), 2u);

    EXPECT_EQ(reader.parseEntries(image), std::vector<DSStoreEntry>{entry});
}

TEST_F(DSStoreWriterTest, NineLargeRecordsMakeTwoLevels) {
    std::vector<DSStoreEntry> entries;
    for (char name = 'a'; name <= 'i'; ++name) {
        entries.push_back(testing::entryWithRecordSize(std::string(1, name), 1000));
    }
    const Bytes image = writer.encode(entries);
    ASSERT_EQ(image.size(), 18436u);

    const std::size_t leaf1 = 0x44, leaf2 = 0x44 + 4096, root = 0x44 + 2 * 4096;
    EXPECT_EQ(u32At(image, leaf1 + 4), 4u);  // a to d
    EXPECT_EQ(u32At(image, leaf2 + 4), 4u);  // f to i
    EXPECT_EQ(std::to_integer<char>(image[leaf2 + 8 + 5]), 'f');
    EXPECT_EQ(u32At(image, root), 2u);      // P: the second leaf
    EXPECT_EQ(u32At(image, root + 4), 1u);  // m
    EXPECT_EQ(u32At(image, root + 8), 1u);  // child before the record: the first leaf
    EXPECT_EQ(std::to_integer<char>(image[root + 12 + 5]), 'e');  // entry 5 is the root record

    const std::size_t header = 0x3040 + 4;
    const std::array<std::uint32_t, 5> treeHeader = {3, 2, 9, 3, 4096};
    for (std::size_t i = 0; i < treeHeader.size(); ++i) {
        EXPECT_EQ(u32At(image, header + 4 * i), treeHeader[i]);
    }
    const std::size_t allocator = 0x4000 + 4;
    EXPECT_EQ(u32At(image, 8), 0x4000u);
    EXPECT_EQ(u32At(image, allocator), 5u);
    EXPECT_EQ(u32At(image, allocator + 8), 0x4000u + 11);
    EXPECT_EQ(u32At(image, allocator + 12), 0x4Cu);
    EXPECT_EQ(u32At(image, allocator + 16), 0x104Cu);
    EXPECT_EQ(u32At(image, allocator + 20), 0x204Cu);
    EXPECT_EQ(u32At(image, allocator + 24), 0x3045u);
    EXPECT_EQ(u32At(image, allocator + 0x411), 4u);  // DSDB names block 4

    EXPECT_EQ(reader.parseEntries(image), entries);
}

TEST_F(DSStoreWriterTest, SortsAndKeepsDuplicatesInInputOrder) {
    const std::vector<DSStoreEntry> entries = {
        testing::longEntry("b", "Iloc", 1), testing::longEntry("a", "vstl", 2),
        testing::longEntry("b", "Iloc", 3), testing::longEntry("A", "Iloc", 4)};
    const auto read = reader.parseEntries(writer.encode(entries));
    ASSERT_EQ(read.size(), 4u);
    EXPECT_EQ(read[0], entries[3]);
    EXPECT_EQ(read[1], entries[1]);
    EXPECT_EQ(read[2], entries[0]);
    EXPECT_EQ(read[3], entries[2]);
}

TEST_F(DSStoreWriterTest, WritesThePayloadOfTheValueCaseWhateverTheTypeSays) {
    const DSStoreEntry mismatched{"a", "Iloc", kTypeLong, DSStoreValue::data({std::byte{7}})};
    const Bytes image = writer.encode({mismatched});
    EXPECT_EQ(asText(ByteView(image).subspan(0x4C + 10, 4)), "long");
    EXPECT_EQ(u32At(image, 0x4C + 14), 1u);  // a blob's length field
    EXPECT_EQ(std::to_integer<int>(image[0x4C + 18]), 7);
}

TEST_F(DSStoreWriterTest, BooleansRoundTrip) {
    const std::vector<DSStoreEntry> entries = {
        {"a", "dscl", kTypeBool, DSStoreValue::boolean(false)},
        {"b", "dscl", kTypeBool, DSStoreValue::boolean(true)}};
    EXPECT_EQ(reader.parseEntries(writer.encode(entries)), entries);
}

TEST_F(DSStoreWriterTest, EmptyListGivesAStoreWithOneEmptyLeaf) {
    const Bytes image = writer.encode({});
    EXPECT_EQ(image.size(), 10244u);
    EXPECT_EQ(u32At(image, 0x48), 0u);
    EXPECT_TRUE(reader.parse(image).entries.empty());
    EXPECT_TRUE(reader.parse(image).isComplete());
}

TEST_F(DSStoreWriterTest, PromotedLastRecordGetsARightNeighbour) {
    // Five 1000-byte records: four fill the first leaf and the fifth does not fit.
    std::vector<DSStoreEntry> entries;
    for (char name = 'a'; name <= 'e'; ++name) {
        entries.push_back(testing::entryWithRecordSize(std::string(1, name), 1000));
    }
    const Bytes image = writer.encode(entries);
    EXPECT_EQ(reader.parseEntries(image), entries);
    const std::size_t header = u32At(image, 8) + 4 + 8 + 4 * 4;  // slot of block 4
    EXPECT_EQ(u32At(image, header) & ~31u, 0x3040u);             // three nodes, then the header
    const std::size_t root = 0x44 + 2 * 4096;
    EXPECT_EQ(u32At(image, root + 4), 1u);  // one separator, two children

    // Two records that cannot share a node: the second becomes the separator.
    const std::vector<DSStoreEntry> pair = {testing::entryWithRecordSize("a", 3000),
                                            testing::entryWithRecordSize("b", 3000)};
    EXPECT_EQ(reader.parseEntries(writer.encode(pair)), pair);
}

TEST_F(DSStoreWriterTest, PromotedLastRecordBehindSingleRecordNodes) {
    // Sizes that leave single-record nodes at the end: the separators shift right.
    std::vector<DSStoreEntry> entries = {
        testing::entryWithRecordSize("a", 1000), testing::entryWithRecordSize("b", 1000),
        testing::entryWithRecordSize("c", 1000), testing::entryWithRecordSize("d", 3000),
        testing::entryWithRecordSize("e", 3000), testing::entryWithRecordSize("f", 3000),
        testing::entryWithRecordSize("g", 3000)};
    const auto result = reader.parse(writer.encode(entries));
    EXPECT_EQ(result.entries, entries);
    EXPECT_TRUE(result.isComplete());
}

TEST_F(DSStoreWriterTest, RecordsUpToTheNodeLimitFit) {
    const std::vector<DSStoreEntry> largest = {testing::entryWithRecordSize("a", 4088)};
    EXPECT_EQ(reader.parseEntries(writer.encode(largest)), largest);
    expectWriterError({testing::entryWithRecordSize("a", 4089)}, DSStoreWriter::kRecordTooLarge,
                      "Record too large");
}

TEST_F(DSStoreWriterTest, SeparatorsMustFitAnInternalNode) {
    // The 4086-byte record is promoted, and an internal node holds at most 4084.
    const std::vector<DSStoreEntry> entries = {testing::entryWithRecordSize("a", 100),
                                               testing::entryWithRecordSize("b", 4086),
                                               testing::entryWithRecordSize("c", 100)};
    expectWriterError(entries, DSStoreWriter::kRecordTooLarge, "Record too large");
}

TEST_F(DSStoreWriterTest, RejectsCodesThatAreNotFourLatin1Characters) {
    expectWriterError({testing::longEntry("a", "Ilo", 0)}, DSStoreWriter::kInvalidCode,
                      "Invalid code");
    expectWriterError({testing::longEntry("a", "Il\u0100c", 0)}, DSStoreWriter::kInvalidCode,
                      "Invalid code");
    expectWriterError({{"a", "Iloc", "longs", DSStoreValue::integer(0)}},
                      DSStoreWriter::kInvalidTypecode, "Invalid typecode");
    expectWriterError({{"a", "vstl", kTypeType, DSStoreValue::fourCC("icnvv")}},
                      DSStoreWriter::kInvalidFourCC, "Invalid fourCC");
    // Latin-1 characters above ASCII are fine: one byte each.
    const std::vector<DSStoreEntry> latin = {
        {"a", "\u00E9tat", kTypeType, DSStoreValue::fourCC("\u00FFxyz")}};
    EXPECT_EQ(reader.parseEntries(writer.encode(latin)), latin);
}

TEST_F(DSStoreWriterTest, TheFirstFaultInSortedOrderDecides) {
    expectWriterError(
        {testing::longEntry("b", "Il", 0), {"a", "Iloc", "x", DSStoreValue::integer(0)}},
        DSStoreWriter::kInvalidTypecode, "Invalid typecode");
}

TEST_F(DSStoreWriterTest, RejectsTextThatIsNotUtf8) {
    expectWriterError({testing::longEntry("bad\xFF", "Iloc", 0)}, DSStoreWriter::kInvalidText,
                      "Invalid text");
    expectWriterError({{"a", "cmmt", kTypeUstr, DSStoreValue::string("\xC3")}},
                      DSStoreWriter::kInvalidText, "Invalid text");
}

TEST_F(DSStoreWriterTest, WriteReplacesTheFileAndLeavesNoTemporaryFile) {
    testing::TempHome home;
    const std::string path = home.writeFile("Desktop/.DS_Store", "old");
    platform::setPermissionBits(path, 0640);
    const std::vector<DSStoreEntry> entries = {testing::longEntry(".", "Iloc", 5)};
    writer.write(entries, path);
    EXPECT_EQ(reader.readEntries(path), entries);
    EXPECT_EQ(platform::permissionBits(path), 0640u);
    EXPECT_EQ(allNames(home / "Desktop"), std::vector<std::string>{".DS_Store"});
}

TEST_F(DSStoreWriterTest, EncodingErrorsTouchNoFile) {
    testing::TempHome home;
    const std::string path = home.writeFile("Desktop/.DS_Store", "old");
    EXPECT_LUMIFOLD_ERROR(writer.write({testing::longEntry("a", "Ilo", 0)}, path),
                          DSStoreWriter::kDomain, DSStoreWriter::kInvalidCode, "Invalid code");
    EXPECT_EQ(asText(platform::readFile(path)), "old");
    EXPECT_EQ(allNames(home / "Desktop"), std::vector<std::string>{".DS_Store"});
    EXPECT_THROW(writer.write({testing::longEntry("a", "Ilo", 0)}, home / "Desktop/new"), Error);
    EXPECT_FALSE(platform::fileExists(home / "Desktop/new"));
}

TEST_F(DSStoreWriterTest, FailedReplaceLeavesNoTemporaryFile) {
    testing::TempHome home;
    home.writeFile("Desktop/.DS_Store/occupied", "x");  // a folder stands where the file goes
    EXPECT_THROW(writer.write({testing::longEntry(".", "Iloc", 5)}, home / "Desktop/.DS_Store"),
                 Error);
    EXPECT_EQ(allNames(home / "Desktop"), std::vector<std::string>{".DS_Store"});
}

}  // namespace
}  // namespace lumifold
