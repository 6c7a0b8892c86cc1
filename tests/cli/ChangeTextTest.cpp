#include <gtest/gtest.h>

#include <array>

#include "cli/ChangeText.h"

// A change as the text forms say it: codes in words beside them, counts in number.
namespace lumifold::cli {
namespace {

TEST(ChangeTextTest, SaysEachKindOfChangeInWords) {
    // key, old value, new value, the words.
    const std::array<std::string, 4> cases[] = {
        {"FXPreferredViewStyle", "clmv", "icnv", "view style column (clmv) \u2192 icon (icnv)"},
        {"StandardViewSettings.IconViewSettings.iconSize", "64.0", "44.0",
         "icon size 64 \u2192 44"},
        {"Docs/icvp.showItemInfo", "true", "false", "Docs: item info yes \u2192 no"},
        {"AppleShowAllExtensions", "true (shown)", "false (hidden)",
         "extensions shown \u2192 hidden"},
        {"Pictures/lsvC", "present", "removed", "Pictures: list view columns (lsvC) removed"},
        {"Pictures/abcd", "present", "removed", "Pictures: abcd removed"},
        {"a.b/c.txt/hasHiddenExtension", "", "", "a.b/c.txt: extension hidden"},
        {"Docs/vstl", "Zzzz", "icnv", "Docs: view style Zzzz \u2192 icon (icnv)"},
    };
    for (const auto& [key, oldValue, newValue, expected] : cases) {
        EXPECT_EQ(describeChange({"", key, oldValue, newValue, ""}), expected);
    }
    EXPECT_EQ(counted(1, "file"), "1 file");
    EXPECT_EQ(counted(0, "file"), "0 files");
    EXPECT_EQ(counted(3, "extension flag"), "3 extension flags");
}

}  // namespace
}  // namespace lumifold::cli
