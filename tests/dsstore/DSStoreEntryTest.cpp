#include <gtest/gtest.h>

#include <algorithm>

#include "core/dsstore/DSStoreEntry.h"

namespace lumifold {
namespace {

DSStoreEntry entry(std::string filename, std::string code = "Iloc") {
    return {std::move(filename), std::move(code), kTypeLong, DSStoreValue::integer(0)};
}

TEST(DSStoreEntryTest, OrdersByLowerCasedNameThenNameThenCode) {
    const std::vector<std::tuple<DSStoreEntry, DSStoreEntry, const char*>> ordered = {
        {entry("apple", "vstl"), entry("Banana", "Iloc"), "lower-cased names decide first"},
        {entry("Foo", "vstl"), entry("foo", "Iloc"), "exact names break case ties"},
        {entry("x", "Iloc"), entry("x", "bwsp"), "codes compare case-sensitively"},
        {entry("."), entry("0"), "a dot sorts before digits"},
        {entry("Doc"), entry("Docs"), "a proper prefix sorts first"},
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
    }
}

TEST(DSStoreEntryTest, EqualityComparesEveryFieldByCanonicalForm) {
    DSStoreEntry shor = entry("x");
    shor.typecode = kTypeShor;
    const std::vector<std::tuple<DSStoreEntry, DSStoreEntry, bool>> pairs = {
        {entry("Caf\u00E9"), entry("Cafe\u0301"), true},
        {entry("Foo"), entry("foo"), false},
        {entry("x"), entry("x", "bwsp"), false},
        {entry("x"), shor, false},
        {entry("x"), {"x", "Iloc", kTypeLong, DSStoreValue::integer(1)}, false},
    };
    for (const auto& [a, b, equal] : pairs) EXPECT_EQ(a == b, equal) << a.filename;

    const std::vector<std::tuple<DSStoreValue, DSStoreValue, bool>> values = {
        {DSStoreValue::string("e\u0301"), DSStoreValue::string("\u00E9"), true},
        {DSStoreValue::fourCC("e\u0301"), DSStoreValue::fourCC("\u00E9"), true},
        {DSStoreValue::data({std::byte{1}}), DSStoreValue::data({std::byte{1}}), true},
        {DSStoreValue::data({std::byte{1}}), DSStoreValue::data({std::byte{2}}), false},
        {DSStoreValue::integer(1), DSStoreValue::uint64(1), false},
        {DSStoreValue::fourCC("icnv"), DSStoreValue::string("icnv"), false},
        {DSStoreValue::boolean(false), DSStoreValue::integer(0), false},
    };
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(std::get<0>(values[i]) == std::get<1>(values[i]), std::get<2>(values[i])) << i;
    }
}

TEST(DSStoreEntryTest, SortKeepsEqualKeysInInputOrder) {
    std::vector<DSStoreEntry> entries = {entry("b"),
                                         entry("A", "vstl"),
                                         entry("a"),
                                         entry("B"),
                                         entry("."),
                                         entry("A"),
                                         {"a", "Iloc", kTypeLong, DSStoreValue::integer(7)}};
    sortEntries(entries);
    std::string order;
    for (const auto& e : entries) order += e.filename + "/" + e.code + " ";
    EXPECT_EQ(order, "./Iloc A/Iloc A/vstl a/Iloc a/Iloc B/Iloc b/Iloc ");
    EXPECT_EQ(entries[4].value, DSStoreValue::integer(7));  // after its equal-keyed twin
}

}  // namespace
}  // namespace lumifold
