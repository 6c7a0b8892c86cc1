#include <gtest/gtest.h>

#include <random>

#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "tests/dsstore/DSStoreTestSupport.h"

namespace lumifold {
namespace {

// Random valid entries: names across Unicode (case pairs, combining marks, other scripts,
// scalars beyond the BMP), frequent duplicate keys, every value case and type code.
class EntryGenerator {
  public:
    explicit EntryGenerator(std::uint64_t seed) : m_random(seed) {}

    DSStoreEntry next(std::size_t maxBlob) {
        static const char* kCodes[] = {"Iloc", "bwsp", "icvp", "vstl", "\u00E9t\u00E9 "};
        if (m_names.empty() || pick(4) != 0) m_names.push_back(text());
        const std::string name = m_names[pick(m_names.size())];
        const std::string code = kCodes[pick(std::size(kCodes))];
        const auto number = m_random();
        switch (pick(8)) {
            case 0:
                return {name, code, kTypeBool, DSStoreValue::boolean(number & 1)};
            case 1:
                return {name, code, kTypeLong, DSStoreValue::integer(std::uint32_t(number))};
            case 2:
                return {name, code, kTypeShor, DSStoreValue::integer(number & 0xFFFF)};
            case 3:
                return {name, code, kTypeType,
                        DSStoreValue::fourCC(number & 1 ? "icnv" : "\u00FFxy ")};
            case 4:
                return {name, code, kTypeUstr, DSStoreValue::string(text())};
            case 5:
                return {name, code, kTypeComp, DSStoreValue::uint64(number)};
            case 6:
                return {name, code, kTypeDutc, DSStoreValue::uint64(number)};
        }
        Bytes bytes(pick(maxBlob + 1));
        for (auto& b : bytes) b = static_cast<std::byte>(m_random());
        return {name, code, kTypeBlob, DSStoreValue::data(std::move(bytes))};
    }

  private:
    std::size_t pick(std::size_t n) { return static_cast<std::size_t>(m_random() % n); }

    std::string text() {
        static const char* kPieces[] = {"a",      "B",          "b",         "z",      "0",
                                        ".",      " ",          "\u00C9",    "\u00E9", "e\u0301",
                                        "\u0130", "i",          "\u03A9",    "\u03C9", "\u4E2D",
                                        "\u00DF", "\U0001F600", "\U00010400"};
        std::string text;
        for (std::size_t i = 0, length = 1 + pick(12); i < length; ++i) {
            text += kPieces[pick(std::size(kPieces))];
        }
        return text;
    }

    std::mt19937_64 m_random;
    std::vector<std::string> m_names;
};

struct Shape {
    std::size_t count, maxBlob;
};

class DSStoreRoundTripTest : public ::testing::TestWithParam<Shape> {};

// Reads back exactly the given list in stable sorted order, and re-encoding what was read gives
// the same image: nothing depends on input order.
TEST_P(DSStoreRoundTripTest, ReadsBackTheSortedList) {
    const std::uint64_t seed = testing::testSeed();
    SCOPED_TRACE(testing::seedTrace(seed));
    EntryGenerator generator(seed);
    std::vector<DSStoreEntry> entries;
    for (std::size_t i = 0; i < GetParam().count; ++i) {
        entries.push_back(generator.next(GetParam().maxBlob));
    }
    const Bytes image = DSStoreWriter().encode(entries);
    const DSStoreParseResult result = DSStoreReader().parse(image);
    sortEntries(entries);
    EXPECT_TRUE(result.isComplete());
    EXPECT_TRUE(result.entries == entries);
    EXPECT_TRUE(DSStoreWriter().encode(result.entries) == image);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DSStoreRoundTripTest,
                         ::testing::Values(Shape{1, 16},        // one leaf
                                           Shape{60, 64},       // one leaf, many keys
                                           Shape{400, 64},      // two levels
                                           Shape{300, 2000}));  // three levels

TEST(DSStoreRoundTripShapeTest, MoreThan256BlocksTakeALongAddressTable) {
    std::vector<DSStoreEntry> entries;
    for (int i = 0; i < 1200; ++i) {
        entries.push_back(testing::entryWithRecordSize(std::string(1, char('!' + i % 90)), 1000));
    }
    const Bytes image = DSStoreWriter().encode(entries);
    EXPECT_GT(testing::u32At(image, testing::u32At(image, 8) + 4), 256u);  // the block count
    sortEntries(entries);
    EXPECT_TRUE(DSStoreReader().parse(image).entries == entries);
}

}  // namespace
}  // namespace lumifold
