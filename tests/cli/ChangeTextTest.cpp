#include <gtest/gtest.h>

#include "cli/ChangeText.h"

// A change as the text forms say it: codes in words beside them, counts in number.
namespace lumifold::cli {
namespace {

TEST(ChangeTextTest, SaysEachKindOfChangeInWords) {
    const struct {
        const char* key;
        const char* oldValue = "";
        const char* newValue = "";
        const char* expected;
    } cases[] = {
        {.key = "FXPreferredViewStyle",
         .oldValue = "clmv",
         .newValue = "icnv",
         .expected = "view style column (clmv) \u2192 icon (icnv)"},
        {.key = "StandardViewSettings.IconViewSettings.iconSize",
         .oldValue = "64.0",
         .newValue = "44.0",
         .expected = "icon size 64 \u2192 44"},
        {.key = "Docs/icvp.showItemInfo",
         .oldValue = "true",
         .newValue = "false",
         .expected = "Docs: item info yes \u2192 no"},
        {.key = "AppleShowAllExtensions",
         .oldValue = "true (shown)",
         .newValue = "false (hidden)",
         .expected = "extensions shown \u2192 hidden"},
        {.key = "Pictures/lsvC",
         .oldValue = "present",
         .newValue = "removed",
         .expected = "Pictures: list view columns (lsvC) removed"},
        {.key = "Pictures/abcd",
         .oldValue = "present",
         .newValue = "removed",
         .expected = "Pictures: abcd removed"},
        {.key = "a.b/c.txt/hasHiddenExtension", .expected = "a.b/c.txt: extension hidden"},
        {.key = "Docs/vstl",
         .oldValue = "Zzzz",
         .newValue = "icnv",
         .expected = "Docs: view style Zzzz \u2192 icon (icnv)"},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(describeChange({"", each.key, each.oldValue, each.newValue, ""}), each.expected);
    }
    EXPECT_EQ(counted(1, "file"), "1 file");
    EXPECT_EQ(counted(0, "file"), "0 files");
    EXPECT_EQ(counted(3, "extension flag"), "3 extension flags");
}

}  // namespace
}  // namespace lumifold::cli
