#include <gtest/gtest.h>

#include <algorithm>

#include "core/dsstore/DSStoreEntry.h"

namespace lumifold {
namespace {

DSStoreEntry entry(std::string filename, std::string code = "Iloc") {
    return {std::move(filename), std::move(code), kTypeLong, DSStoreValue::integer(0)};
}

TEST(DSStoreEntryOrderingTest, LowerCasedNamesDecideFirst) {
    EXPECT_LT(entry("apple"), entry("Banana"));
    EXPECT_FALSE(entry("Banana") < entry("apple"));
    // The exact names would order "Banana" first; lower-casing must win.
    EXPECT_LT(entry("apple", "vstl"), entry("Banana", "Iloc"));
}

TEST(DSStoreEntryOrderingTest, ExactNamesBreakCaseTies) {
    EXPECT_LT(entry("Foo"), entry("foo"));
    EXPECT_FALSE(entry("foo") < entry("Foo"));
    // ...even when the codes point the other way.
    EXPECT_LT(entry("Foo", "vstl"), entry("foo", "Iloc"));
}

TEST(DSStoreEntryOrderingTest, CodesCompareCaseSensitively) {
    const std::vector<std::string> codes = {"Iloc", "bwsp", "icvp", "lsvp", "vstl"};
    for (std::size_t i = 0; i + 1 < codes.size(); ++i) {
        EXPECT_LT(entry("x", codes[i]), entry("x", codes[i + 1])) << codes[i];
    }
}

TEST(DSStoreEntryOrderingTest, DotSortsBeforeLettersAndDigits) {
    EXPECT_LT(entry("."), entry("0"));
    EXPECT_LT(entry("."), entry("A"));
    EXPECT_LT(entry("."), entry("a"));
}

TEST(DSStoreEntryOrderingTest, ProperPrefixSortsFirst) {
    EXPECT_LT(entry("Doc"), entry("Docs"));
    EXPECT_LT(entry(""), entry("a"));
}

TEST(DSStoreEntryOrderingTest, UsesFullLowerCaseAndCanonicalForms) {
    // Decomposed and composed forms of one name tie; the code decides.
    EXPECT_LT(entry("Cafe\u0301", "Iloc"), entry("Caf\u00E9", "bwsp"));
    EXPECT_LT(entry("Caf\u00E9", "Iloc"), entry("Cafe\u0301", "bwsp"));
    // The full mapping of "İ" is "i" + U+0307, which sorts after "iz"; the simple mapping
    // ("i") would sort before it.
    EXPECT_LT(entry("iz"), entry("\u0130"));
    // Scalars beyond the BMP compare by scalar value, not by UTF-16 unit.
    EXPECT_LT(entry("\uFFFD"), entry("\U0001F600"));
}

TEST(DSStoreEntryOrderingTest, DerivedComparisonsFollowLessThan) {
    const auto a = entry("a");
    const auto b = entry("b");
    EXPECT_TRUE(a <= b);
    EXPECT_TRUE(b > a);
    EXPECT_TRUE(b >= a);
    EXPECT_TRUE(a <= a && a >= a);
}

TEST(DSStoreEntryEqualityTest, SameKeyDifferentValuesAreUnorderedButUnequal) {
    DSStoreEntry a = entry("x");
    DSStoreEntry b = entry("x");
    b.value = DSStoreValue::integer(1);
    EXPECT_FALSE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_NE(a, b);
}

TEST(DSStoreEntryEqualityTest, NamesCompareWithoutCaseFolding) {
    EXPECT_NE(entry("Foo"), entry("foo"));
    EXPECT_EQ(entry("Caf\u00E9"), entry("Cafe\u0301"));  // canonical equivalence
}

TEST(DSStoreEntryEqualityTest, DifferentCasesAreNeverEqual) {
    EXPECT_NE(DSStoreValue::integer(1), DSStoreValue::uint64(1));
    EXPECT_NE(DSStoreValue::fourCC("icnv"), DSStoreValue::string("icnv"));
    EXPECT_NE(DSStoreValue::boolean(false), DSStoreValue::integer(0));
    EXPECT_EQ(DSStoreValue::string("e\u0301"), DSStoreValue::string("\u00E9"));
}

TEST(DSStoreEntryEqualityTest, DataComparesByBytes) {
    const Bytes bytes = {std::byte{1}, std::byte{2}};
    Bytes copy;
    copy.push_back(std::byte{1});
    copy.push_back(std::byte{2});
    EXPECT_EQ(DSStoreValue::data(bytes), DSStoreValue::data(copy));
    EXPECT_NE(DSStoreValue::data(bytes), DSStoreValue::data(Bytes{std::byte{1}}));
}

TEST(DSStoreEntryEqualityTest, TypecodeTakesPart) {
    DSStoreEntry a = entry("x");
    DSStoreEntry b = entry("x");
    b.typecode = kTypeShor;
    EXPECT_NE(a, b);
}

TEST(SortEntriesTest, AgreesWithLessThanAndKeepsEqualKeysInInputOrder) {
    std::vector<DSStoreEntry> entries = {entry("b"), entry("A", "vstl"),
                                         entry("a"), entry("B", "Iloc"),
                                         entry("."), entry("A", "Iloc")};
    entries.push_back(entry("a"));
    entries.back().value = DSStoreValue::integer(7);  // same key as entries[2]
    sortEntries(entries);
    EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end()));
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.filename + "/" + e.code);
    EXPECT_EQ(names, (std::vector<std::string>{"./Iloc", "A/Iloc", "A/vstl", "a/Iloc", "a/Iloc",
                                               "B/Iloc", "b/Iloc"}));
    EXPECT_EQ(entries[3].value, DSStoreValue::integer(0));
    EXPECT_EQ(entries[4].value, DSStoreValue::integer(7));
}

}  // namespace
}  // namespace lumifold
