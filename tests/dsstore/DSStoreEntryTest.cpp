#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/dsstore/DSStoreEntry.h"
#include "core/dsstore/DSStoreEntryJson.h"

namespace lumifold {
namespace {

DSStoreEntry entry(std::string filename, std::string code = "Iloc") {
    return {std::move(filename), std::move(code), kTypeLong, DSStoreValue::integer(0)};
}

TEST(DSStoreEntryTest, OrdersByLowerCasedNameThenNameThenCode) {
    const std::vector<std::tuple<DSStoreEntry, DSStoreEntry, const char*>> ordered = {
        {entry("alpha", "vstl"), entry("Beta", "Iloc"), "lower-cased names decide first"},
        {entry("Foo", "vstl"), entry("foo", "Iloc"), "exact names break case ties"},
        {entry("x", "Iloc"), entry("x", "bwsp"), "codes compare case-sensitively"},
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
          R"({"filename":"a","code":"moDD","type":"dutc","value":18446744073709551615})",
          R"({"filename":"a","code":"dscl","type":"bool","value":true})"}) {
        EXPECT_EQ(entryToJsonLine(entryFromJsonLine(nlohmann::json::parse(line))).dump(), line);
    }
    const std::vector<std::pair<std::string, std::string>> faults = {
        {R"("type": "blob", "value": "@@")", "not valid base64"},
        {R"("type": "long", "value": -1)", "whole number from 0 to 4294967295"},
        {R"("type": "bool", "value": 1)", "true or false"},
        // Input quoted in a message is escaped, so no control byte can reach a terminal.
        {R"("type": "\u0007", "value": 1)", R"(unknown type "\u0007" (expected bool, long)"},
        {R"("type": "bool", "value": true, "\u001b[2J": 1)", R"(unknown key "\u001b[2J")"},
    };
    for (const auto& [fields, message] : faults) {
        SCOPED_TRACE(fields);
        const auto line =
            nlohmann::json::parse(R"({"filename": "a", "code": "Iloc", )" + fields + "}");
        EXPECT_THAT([&] { entryFromJsonLine(line); },
                    ::testing::ThrowsMessage<std::invalid_argument>(::testing::HasSubstr(message)));
    }
    EXPECT_THROW(entryFromJsonLine(nlohmann::json::array()), std::invalid_argument);
}

}  // namespace
}  // namespace lumifold
