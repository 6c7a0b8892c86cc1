#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/common/BigEndian.h"
#include "core/common/Text.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"

namespace lumifold {
namespace {

// Random valid entries: names across Unicode (combining marks, other scripts, scalars beyond
// the BMP), frequent duplicate keys, every value case and type code.
class EntryGenerator {
  public:
    explicit EntryGenerator(unsigned seed) : m_random(seed) {}

    DSStoreEntry next(std::size_t maxBlob) {
        DSStoreEntry entry;
        entry.filename = m_names.empty() || pick(4) != 0 ? name() : m_names[pick(m_names.size())];
        m_names.push_back(entry.filename);
        static const char* kCodes[] = {"Iloc", "bwsp", "icvp",          "lsvp",
                                       "vstl", "cmmt", "\u00E9t\u00E9 "};
        entry.code = kCodes[pick(std::size(kCodes))];
        switch (pick(8)) {
            case 0:
                entry.typecode = kTypeBool;
                entry.value = DSStoreValue::boolean(pick(2) == 1);
                break;
            case 1:
                entry.typecode = kTypeLong;
                entry.value = DSStoreValue::integer(static_cast<std::uint32_t>(m_random()));
                break;
            case 2:
                entry.typecode = kTypeShor;
                entry.value = DSStoreValue::integer(static_cast<std::uint32_t>(pick(65536)));
                break;
            case 3:
                entry.typecode = kTypeType;
                entry.value = DSStoreValue::fourCC(pick(2) ? "icnv" : "Nlsv");
                break;
            case 4:
                entry.typecode = kTypeUstr;
                entry.value = DSStoreValue::string(name());
                break;
            case 5:
                entry.typecode = kTypeComp;
                entry.value = DSStoreValue::uint64(m_random());
                break;
            case 6:
                entry.typecode = kTypeDutc;
                entry.value = DSStoreValue::uint64(m_random());
                break;
            default: {
                Bytes bytes(pick(maxBlob + 1));
                for (auto& b : bytes) b = static_cast<std::byte>(m_random());
                entry.typecode = kTypeBlob;
                entry.value = DSStoreValue::data(std::move(bytes));
            }
        }
        return entry;
    }

    std::size_t pick(std::size_t n) { return static_cast<std::size_t>(m_random() % n); }

  private:
    std::string name() {
        static const std::vector<std::pair<char32_t, char32_t>> kRanges = {
            {'a', 'z'},         {'A', 'Z'},     {'0', '9'},       {0xC0, 0xFF},
            {0x300, 0x36F},     {0x391, 0x3C9}, {0x4E00, 0x4E40}, {0x1F600, 0x1F64F},
            {0x10400, 0x1044F}, {0x130, 0x131}};
        std::string text;
        const std::size_t length = 1 + pick(12);
        for (std::size_t i = 0; i < length; ++i) {
            const auto& [low, high] = kRanges[pick(kRanges.size())];
            const char32_t c = low + static_cast<char32_t>(pick(high - low + 1));
            const std::u32string one(1, c);
            std::u16string units;
            if (c > 0xFFFF) {
                units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                units += static_cast<char16_t>(c);
            }
            text += *utf16ToUtf8(units);
        }
        return text;
    }

    std::mt19937_64 m_random;
    std::vector<std::string> m_names;
};

class DSStoreRoundTripTest : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {
  protected:
    DSStoreReader reader;
    DSStoreWriter writer;
};

// Reads back exactly the given list in sorted order, and the tree is as deep as expected.
TEST_P(DSStoreRoundTripTest, ReadsBackTheSortedList) {
    const auto [count, maxBlob] = GetParam();
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    EntryGenerator generator(seed);
    std::vector<DSStoreEntry> entries;
    for (std::size_t i = 0; i < count; ++i) entries.push_back(generator.next(maxBlob));

    const Bytes image = writer.encode(entries);
    const DSStoreParseResult result = reader.parse(image);
    auto sorted = entries;
    sortEntries(sorted);
    EXPECT_TRUE(result.isComplete());
    ASSERT_EQ(result.entries.size(), sorted.size());
    EXPECT_TRUE(result.entries == sorted);
    EXPECT_TRUE(std::is_sorted(result.entries.begin(), result.entries.end()));
    // Re-encoding what was read gives the same image: nothing depends on input order.
    EXPECT_TRUE(writer.encode(result.entries) == image);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DSStoreRoundTripTest,
    ::testing::Values(std::make_pair(std::size_t{1}, std::size_t{16}),      // one leaf
                      std::make_pair(std::size_t{60}, std::size_t{64}),     // one leaf, many keys
                      std::make_pair(std::size_t{400}, std::size_t{64}),    // two levels
                      std::make_pair(std::size_t{300}, std::size_t{2000}),  // three levels
                      std::make_pair(std::size_t{2500}, std::size_t{900})   // > 254 nodes
                      ));

TEST(DSStoreRoundTripShapeTest, LargeRecordsMakeThreeLevelsAndLongTables) {
    const DSStoreWriter writer;
    std::vector<DSStoreEntry> entries;
    for (int i = 0; i < 2000; ++i) {
        entries.push_back({"file" + std::to_string(100000 + i), "Iloc", kTypeBlob,
                           DSStoreValue::data(Bytes(1500, std::byte{1}))});
    }
    const Bytes image = writer.encode(entries);
    const std::size_t allocator = loadU32(image.data() + 8) + 4;
    const std::uint32_t blocks = loadU32(image.data() + allocator);
    const std::uint32_t treeHeaderBlock = blocks - 1;
    const std::uint32_t address = loadU32(image.data() + allocator + 8 + 4 * treeHeaderBlock);
    const std::uint32_t levels = loadU32(image.data() + (address & ~31u) + 4 + 4);
    EXPECT_GT(blocks, 256u);
    EXPECT_GE(levels, 3u);
    EXPECT_EQ(DSStoreReader().parseEntries(image), entries);
}

}  // namespace
}  // namespace lumifold
