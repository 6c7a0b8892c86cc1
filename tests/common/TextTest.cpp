#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "core/common/Text.h"

namespace lumifold {
namespace {

// Each outcome, and a bound that holds however much a conversion grows the text.
TEST(ConvertToUtf8Test, ConvertsOrSaysWhereAndWhyItStopped) {
    using Outcome = ConvertedText::Outcome;
    struct Case {
        std::string encoding;
        std::string bytes;
        std::size_t maxSize;
        Outcome outcome;
        std::string text = "";
        std::size_t invalidAt = 0;
    };
    const Case cases[] = {
        {"latin1", "caf\xE9", 5, Outcome::converted, "café"},
        {"windows-1252", "\x80", 3, Outcome::converted, "€"},
        {"UTF-16LE", std::string("a\0\x3D\xD8\x00\xDE", 6), 5, Outcome::converted, "a😀"},
        {"US-ASCII", "ab\xE9", 3, Outcome::invalidBytes, "", 2},
        {"UTF-16BE", std::string("\0a\xDC\x00", 4), 3, Outcome::invalidBytes, "", 2},
        {"UTF-16LE", "a", 3, Outcome::invalidBytes},
        {"latin1", std::string(70000, '\xE9'), 139999, Outcome::tooLong},
        {"klingon", "a", 3, Outcome::unknownEncoding},
        {"UTF-8,swaplfnl", "a", 3, Outcome::unknownEncoding},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.encoding);
        const ConvertedText converted = convertToUtf8(each.bytes, each.encoding, each.maxSize);
        EXPECT_EQ(converted.outcome, each.outcome);
        EXPECT_EQ(converted.text, each.text);
        EXPECT_EQ(converted.invalidAt, each.invalidAt);
    }
    EXPECT_EQ(convertToUtf8(std::string(70000, '\xE9'), "latin1", 140000).text.size(), 140000u);
    EXPECT_EQ(encodingName("latin1"), "ISO-8859-1");
    EXPECT_EQ(encodingName("utf-8"), "UTF-8");
    EXPECT_EQ(encodingName("klingon"), std::nullopt);
}

}  // namespace
}  // namespace lumifold
