#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <sstream>

#include "core/dsstore/DSStoreEntryJson.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "tests/dsstore/DSStoreTestSupport.h"
#include "tests/support/LumifoldAssertions.h"

namespace lumifold {
namespace {

using namespace lumifold::testing;

DSStoreEntry entry(std::string filename, std::string code = "Iloc") {
    return {std::move(filename), std::move(code), kTypeLong, DSStoreValue::integer(0)};
}

TEST(DSStoreEntryTest, OrdersByLowerCasedNameThenNameThenCode) {
    struct Case {
        DSStoreEntry less;
        DSStoreEntry greater;
        const char* why;
    };
    const Case ordered[] = {
        {entry("alpha", "vstl"), entry("Beta", "Iloc"), "lower-cased names decide first"},
        {entry("Foo", "vstl"), entry("foo", "Iloc"), "exact names break case ties"},
        {entry("x", "Iloc"), entry("x", "bwsp"), "codes compare case-sensitively"},
        {entry("doc"), entry("DOCS"), "a proper prefix sorts first, whatever its case"},
        {entry(""), entry("a"), "the empty name sorts first"},
        {entry("Cafe\u0301", "Iloc"), entry("Caf\u00E9", "bwsp"), "canonical forms tie"},
        {entry("Caf\u00E9", "Iloc"), entry("Cafe\u0301", "bwsp"), "canonical forms tie"},
        {entry("iz"), entry("\u0130"), "full lower-casing: \"İ\" is \"i\" + U+0307"},
        {entry("\uFFFD"), entry("\U0001F600"), "scalars compare by value, not UTF-16 unit"},
    };
    for (const auto& [less, greater, why] : ordered) {
        SCOPED_TRACE(why);
        EXPECT_TRUE(less < greater && greater > less && less <= greater && greater >= less);
        EXPECT_FALSE(greater < less || less > greater || greater <= less || less >= greater);
        EXPECT_EQ(sortedOrder({greater, less}), (std::vector<std::size_t>{1, 0}));
    }
}

TEST(DSStoreEntryTest, EqualityComparesEveryFieldByCanonicalForm) {
    using D = DSStoreValue;
    const auto v = [](D value) { return DSStoreEntry{"x", "Iloc", kTypeLong, value}; };
    DSStoreEntry shor = entry("x");
    shor.typecode = kTypeShor;
    const Bytes one{std::byte{1}}, two{std::byte{2}};
    EXPECT_EQ(entry("Caf\u00E9"), entry("Cafe\u0301"));
    EXPECT_EQ(v(D::string("e\u0301")), v(D::string("\u00E9")));
    EXPECT_EQ(v(D::fourCC("e\u0301")), v(D::fourCC("\u00E9")));
    EXPECT_EQ(v(D::data(one)), v(D::data(one)));
    for (const auto& [a, b] : std::vector<std::pair<DSStoreEntry, DSStoreEntry>>{
             {entry("Foo"), entry("foo")},
             {entry("x"), entry("x", "bwsp")},
             {entry("x"), shor},
             {v(D::data(one)), v(D::data(two))},
             {v(D::integer(1)), v(D::uint64(1))},
             {v(D::integer(1)), v(D::integer(2))},
             {v(D::fourCC("icnv")), v(D::string("icnv"))},
             {v(D::boolean(false)), v(D::integer(0))}}) {
        EXPECT_FALSE(a == b) << a.filename << " " << b.filename;
    }
}

TEST(DSStoreEntryJsonTest, RoundTripsEveryTypeAndNamesWhatIsWrong) {
    for (const std::string line :
         {R"({"filename":"é","code":"vstl","type":"type","value":"icnv"})",
          R"({"filename":"a","code":"Iloc","type":"blob","value":"AAAAUAAAABc="})",
          R"({"filename":"a","code":"dscl","type":"bool","value":true})"}) {
        EXPECT_EQ(entryJsonLine(entryFromJsonLine(nlohmann::json::parse(line))), line);
    }
    // Input quoted in a message is escaped, so no control byte can reach a terminal.
    const std::vector<std::pair<std::string, std::string>> faults = {
        {R"("type": "long", "value": -1)", "whole number from 0 to 4294967295"},
        {R"("type": "\u0007", "value": 1)", R"(unknown type "\u0007" (expected bool, long)"},
        {R"("type": "bool", "value": true, "\u001b[2J": 1)", R"(unknown key "\u001b[2J")"}};
    for (const auto& [fields, message] : faults) {
        SCOPED_TRACE(fields);
        const auto line =
            nlohmann::json::parse(R"({"filename": "a", "code": "Iloc", )" + fields + "}");
        EXPECT_THAT([&] { entryFromJsonLine(line); },
                    ::testing::ThrowsMessage<std::invalid_argument>(::testing::HasSubstr(message)));
    }
}

// The direct reader takes only lines the tree reads to the same record; it must take every
// line dump writes, and any line it refuses goes to the tree, whose messages stay the same.
TEST(DSStoreEntryJsonTest, DirectReaderAgreesWithTheTreeOnEveryMutationOfDumpedLines) {
    const std::vector<DSStoreEntry> entries = {
        {"é", "vstl", kTypeType, DSStoreValue::fourCC("icnv")},
        {"a", "Iloc", kTypeBlob, DSStoreValue::data(Bytes{std::byte{0}, std::byte{0xFF}})},
        {"a\"\\\x01", "dscl", kTypeBool, DSStoreValue::boolean(true)},
        {"", "lg1S", kTypeComp, DSStoreValue::uint64(18446744073709551615u)},
        {"😀", "ICVO", kTypeLong, DSStoreValue::integer(4294967295u)},
        {"b", "modD", kTypeDutc, DSStoreValue::uint64(0)},
        {"c", "cmmt", kTypeUstr, DSStoreValue::string("x/y")}};
    const std::string replacements[] = {"",  "\"", "\\", " ", "0",    "9",    "-",    ".", "e",
                                        "}", "{",  ",",  "x", "\x01", "\xC3", "\xFF", "10"};
    std::size_t direct = 0;
    for (const auto& entry : entries) {
        const std::string line = entryJsonLine(entry);
        if (entry.filename.find_first_of("\"\\\x01") == std::string::npos) {
            const auto read = entryFromDumpedLine(line);
            ASSERT_TRUE(read) << line;
            EXPECT_EQ(entryJsonLine(*read), line);
        }
        for (std::size_t at = 0; at <= line.size(); ++at) {
            for (const auto& replacement : replacements) {
                for (const std::size_t erase : {0u, 1u}) {
                    const std::string mutated = line.substr(0, at) + replacement +
                                                line.substr(std::min(at + erase, line.size()));
                    const auto read = entryFromDumpedLine(mutated);
                    if (!read) continue;
                    ++direct;
                    SCOPED_TRACE(mutated);
                    const auto tree = nlohmann::json::parse(mutated, nullptr, false);
                    ASSERT_FALSE(tree.is_discarded());
                    const auto expected = entryFromJsonLine(tree);
                    EXPECT_EQ(entryJsonLine(*read), entryJsonLine(expected));
                    EXPECT_EQ(read->typecode, expected.typecode);
                }
            }
        }
    }
    EXPECT_GT(direct, 100u);
}

TEST(DSStoreWriterTest, LaysOutHeaderNodesTreeHeaderAndAllocator) {
    std::vector<DSStoreEntry> nine;
    for (char name = 'a'; name <= 'i'; ++name) {
        nine.push_back(entryWithRecordSize(std::string(1, name), 1000));
    }
    // Runs of u32 values from a file position.
    using Runs = std::vector<std::pair<std::size_t, std::vector<std::uint32_t>>>;
    struct Case {
        std::vector<DSStoreEntry> entries;
        std::size_t size;
        Runs runs;
    };
    const Case cases[] = {
        {.entries = {longEntry("a", "Iloc", 0x01020304)},
         .size = 10244,
         .runs =
             {// the header and its reserved bytes; the leaf: P, m, the record; the tree header
              {0, {1, word("Bud1"), 0x2000, 2048, 0x2000, 0x100C, 0x87, 0x200B, 0}},
              {0x44, {0, 1, 1, 0x0061'496C, word("oclo"), 0x6E67'0102, 0x0304'0000}},
              {0x1044, {1, 1, 1, 1, 4096}},
              // the allocator: blocks, addresses (allocator, leaf, tree header), the directory
              {0x2004, {3, 0, 0x200B, 0x4C, 0x1045, 0}},
              {0x240C, {1, 0x0444'5344, 0x4200'0000, 0x0200'0000}}}},
        // two leaves of four records, "e" in the root between them
        {.entries = nine,
         .size = 18436,
         .runs = {{0x48, {4}},
                  {0x1048, {4}},
                  {0x104E, {0x0001'0066}},
                  {0x2044, {2, 1, 1}},
                  {0x2052, {0x0001'0065}},
                  {0x3044, {3, 2, 9, 3, 4096}},
                  {8, {0x4000}},
                  {0x4004, {5, 0, 0x400B, 0x4C, 0x104C, 0x204C, 0x3045}},
                  {0x4415, {4}}}},
    };
    for (const auto& [entries, size, runs] : cases) {
        SCOPED_TRACE(entries.size());
        const Bytes image = DSStoreWriter().encode(entries);
        ASSERT_EQ(image.size(), size);
        for (const auto& [start, values] : runs) {
            for (std::size_t i = 0; i < values.size(); ++i) {
                EXPECT_EQ(u32At(image, start + 4 * i), values[i]) << std::hex << start + 4 * i;
            }
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

// A record alone in a leaf; records too big for an internal node, which neighbours must
// separate; the last record moving up and needing a right neighbour.
TEST(DSStoreWriterTest, WritesEveryListThatHasALayout) {
    for (const char* list :
         {"4088", "4089", "100 4085", "100 4088", "4088 100", "100 4086 100",
          "2000 2000 200 4086 200", "4085 4085", "100 4088 4086 100", "1000 1000 1000 1000 1000",
          "1000 1000 1000 3000 3000 3000 3000", "3000 3000"}) {
        std::istringstream sizes(list);
        expectWrittenOrRefused({std::istream_iterator<std::size_t>(sizes), {}});
    }
}

TEST(DSStoreWriterTest, WritesRandomListsNearTheSizeLimitsWheneverALayoutExists) {
    const std::uint64_t seed = testSeed();
    SCOPED_TRACE(seedTrace(seed));
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
    for (const auto& [entry, code] : std::vector<std::pair<DSStoreEntry, int>>{
             {longEntry("a", "Ilo", 0), W::kInvalidCode},
             {{"a", "Iloc", "longs", DSStoreValue::integer(0)}, W::kInvalidTypecode},
             {{"a", "vstl", kTypeType, DSStoreValue::fourCC("icnvv")}, W::kInvalidFourCC},
             {{"a", "vstl", kTypeType, DSStoreValue::fourCC("\u0100cnv")}, W::kInvalidFourCC},
             {longEntry("bad\xFF", "Iloc", 0), W::kInvalidText},
             {{"a", "cmmt", kTypeUstr, DSStoreValue::string("\xC3")}, W::kInvalidText},
             {entryWithRecordSize("a", 4089), W::kRecordTooLarge}}) {
        // The first fault in sorted order decides: "zz" comes after every faulty entry.
        EXPECT_LUMIFOLD_ERROR_CODE(
            DSStoreWriter().encode({{"zz", "Il", "x", DSStoreValue::integer(0)}, entry}),
            W::kDomain, code);
    }
}

// Random valid entries: names across Unicode (case pairs, combining marks, other scripts,
// scalars beyond the BMP), frequent duplicate keys, every value case and type code.
std::vector<DSStoreEntry> randomEntries(std::mt19937_64& random, std::size_t count,
                                        std::size_t maxBlob) {
    static const char* kPieces[] = {"a",      "B",          "b",         ".",      " ",
                                    "\u00C9", "\u00E9",     "e\u0301",   "\u0130", "i",
                                    "\u03A9", "\U0001F600", "\U00010400"};
    static const char* kCodes[] = {"Iloc", "bwsp", "icvp", "vstl", "\u00E9t\u00E9 "};
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const auto text = [&] {
        std::string out;
        for (std::size_t i = 1 + pick(12); i > 0; --i) out += kPieces[pick(std::size(kPieces))];
        return out;
    };
    std::vector<std::string> names;
    std::vector<DSStoreEntry> entries;
    while (entries.size() < count) {
        if (names.empty() || pick(4) != 0) names.push_back(text());
        const std::string name = names[pick(names.size())], code = kCodes[pick(std::size(kCodes))];
        const auto n = random();
        Bytes blob(pick(maxBlob + 1));
        for (auto& b : blob) b = static_cast<std::byte>(random());
        using D = DSStoreValue;
        const DSStoreEntry kinds[] = {
            {name, code, kTypeBool, D::boolean(n & 1)},
            {name, code, kTypeLong, D::integer(std::uint32_t(n))},
            {name, code, kTypeShor, D::integer(n & 0xFFFF)},
            {name, code, kTypeType, D::fourCC(n & 1 ? "icnv" : "\u00FFxy ")},
            {name, code, kTypeUstr, D::string(text())},
            {name, code, kTypeComp, D::uint64(n)},
            {name, code, kTypeDutc, D::uint64(n)},
            {name, code, kTypeBlob, D::data(std::move(blob))}};
        entries.push_back(kinds[pick(std::size(kinds))]);
    }
    return entries;
}

// One leaf, one leaf of many keys, two levels, three levels: each reads back exactly the list
// in stable sorted order, and re-encoding what was read gives the same image.
TEST(DSStoreRoundTripTest, ReadsBackTheSortedList) {
    const std::uint64_t seed = testSeed();
    SCOPED_TRACE(seedTrace(seed));
    std::mt19937_64 random(seed);
    for (const auto& [count, maxBlob] :
         {std::pair<std::size_t, std::size_t>{1, 16}, {60, 64}, {400, 64}, {300, 2000}}) {
        SCOPED_TRACE(count);
        auto entries = randomEntries(random, count, maxBlob);
        const Bytes image = DSStoreWriter().encode(entries);
        const DSStoreParseResult result = DSStoreReader().parse(image);
        sortEntries(entries);
        EXPECT_TRUE(result.isComplete());
        EXPECT_TRUE(result.entries == entries);
        EXPECT_TRUE(DSStoreWriter().encode(result.entries) == image);
    }
}

TEST(DSStoreRoundTripShapeTest, MoreThan256BlocksTakeALongAddressTable) {
    std::vector<DSStoreEntry> entries;
    for (int i = 0; i < 1200; ++i) {
        entries.push_back(entryWithRecordSize(std::string(1, char('!' + i % 90)), 1000));
    }
    const Bytes image = DSStoreWriter().encode(entries);
    EXPECT_GT(u32At(image, u32At(image, 8) + 4), 256u);  // the block count
    sortEntries(entries);
    EXPECT_TRUE(DSStoreReader().parse(image).entries == entries);
}

}  // namespace
}  // namespace lumifold
