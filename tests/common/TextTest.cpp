#include <gtest/gtest.h>

#include "core/common/Text.h"

namespace lumifold {
namespace {

TEST(TextTest, Utf16ConversionKeepsSurrogatePairsAndRefusesIllFormedInput) {
    const std::string text = "a\u00E9\u4E2D\U0001F600";
    const auto units = utf8ToUtf16(text);
    ASSERT_TRUE(units.has_value());
    EXPECT_EQ(units->size(), 5u);  // the emoji takes two units
    EXPECT_EQ(utf16ToUtf8(*units), text);
    // Truncated, encoded surrogate, overlong; then lone lead and lone trail units.
    for (const char* bad : {"\xC3", "\xED\xA0\x80", "\xC0\xAF"}) {
        EXPECT_FALSE(utf8ToUtf16(bad).has_value()) << bad;
    }
    EXPECT_FALSE(utf16ToUtf8(std::u16string(1, u'\xD800')).has_value());
    EXPECT_FALSE(utf16ToUtf8(std::u16string(1, u'\xDC00')).has_value());
    EXPECT_FALSE(isWellFormedUtf8("ab\xFF"));
    EXPECT_TRUE(isWellFormedUtf8("ab\u00FF"));

    const unsigned char bytes[] = {0x00, 0x41, 0xD8, 0x3D, 0xDE, 0x00};
    EXPECT_EQ(utf16BigEndianToUtf8(bytes, sizeof bytes), "A\U0001F600");
    EXPECT_FALSE(utf16BigEndianToUtf8(bytes, 4).has_value());  // cut after the lead unit
}

TEST(TextTest, Latin1ReportsLoss) {
    EXPECT_EQ(toLatin1("\u00FF\u00E9"), std::string("\xFF\xE9"));
    EXPECT_FALSE(toLatin1("\u0100").has_value());
    EXPECT_FALSE(toLatin1("\xFF").has_value());
    EXPECT_EQ(fromLatin1(std::string("\xE9", 1)), "\u00E9");
    EXPECT_EQ(fromLatin1(std::string("\0a", 2)), std::string("\0a", 2));
}

TEST(TextTest, NfcComposesAndLowercasingUsesFullMappingsWithoutContext) {
    EXPECT_EQ(nfc("e\u0301"), "\u00E9");
    EXPECT_EQ(nfc("bad\xFF"), "bad\xFF");
    EXPECT_EQ(lowercaseFull("\u00C9T\u00C9"), "\u00E9t\u00E9");
    EXPECT_EQ(lowercaseFull("\u0130"), "i\u0307");  // full mapping, not the Turkish one
    // Final sigma would need context; per scalar every sigma becomes the medial form.
    EXPECT_EQ(lowercaseFull("\u039F\u03A3"), "\u03BF\u03C3");
    EXPECT_EQ(lowercaseFull("\U00010400"), "\U00010428");  // Deseret, outside the BMP
}

}  // namespace
}  // namespace lumifold
