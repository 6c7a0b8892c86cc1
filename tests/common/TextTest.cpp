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
        {.encoding = "latin1",
         .bytes = "caf\xE9",
         .maxSize = 5,
         .outcome = Outcome::converted,
         .text = "café"},
        {.encoding = "windows-1252",
         .bytes = "\x80",
         .maxSize = 3,
         .outcome = Outcome::converted,
         .text = "€"},
        {.encoding = "UTF-16LE",
         .bytes = std::string("a\0\x3D\xD8\x00\xDE", 6),
         .maxSize = 5,
         .outcome = Outcome::converted,
         .text = "a😀"},
        {.encoding = "US-ASCII",
         .bytes = "ab\xE9",
         .maxSize = 3,
         .outcome = Outcome::invalidBytes,
         .invalidAt = 2},
        {.encoding = "UTF-16BE",
         .bytes = std::string("\0a\xDC\x00", 4),
         .maxSize = 3,
         .outcome = Outcome::invalidBytes,
         .invalidAt = 2},
        {.encoding = "UTF-16LE", .bytes = "a", .maxSize = 3, .outcome = Outcome::invalidBytes},
        {.encoding = "latin1",
         .bytes = std::string(70000, '\xE9'),
         .maxSize = 139999,
         .outcome = Outcome::tooLong},
        {.encoding = "klingon", .bytes = "a", .maxSize = 3, .outcome = Outcome::unknownEncoding},
        {.encoding = "UTF-8,swaplfnl",
         .bytes = "a",
         .maxSize = 3,
         .outcome = Outcome::unknownEncoding},
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
