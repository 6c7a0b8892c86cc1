#include <gtest/gtest.h>

#include "core/common/Paths.h"

namespace lumifold {
namespace {

TEST(GlobTest, MatchesWholeTextsLikeAShell) {
    struct Case {
        const char* pattern;
        const char* text;
        bool matches;
    };
    const Case cases[] = {
        {.pattern = "build", .text = "build", .matches = true},
        {.pattern = "build", .text = "builds", .matches = false},
        {.pattern = "*", .text = "", .matches = true},
        {.pattern = "*/old", .text = "/home/a/old", .matches = true},
        {.pattern = "a*b*c", .text = "aXbYbZc", .matches = true},
        {.pattern = "a*b*c", .text = "aXbYbZ", .matches = false},
        {.pattern = "?x", .text = "yx", .matches = true},
        {.pattern = "?x", .text = "x", .matches = false},
        {.pattern = "[a-c]1", .text = "b1", .matches = true},
        {.pattern = "[!a-c]1", .text = "b1", .matches = false},
        {.pattern = "[]]", .text = "]", .matches = true},
        {.pattern = "[ab", .text = "[ab", .matches = true},
        {.pattern = "\\*", .text = "*", .matches = true},
        {.pattern = "\\*", .text = "x", .matches = false},
        {.pattern = "**/2019", .text = "/Archive/2019", .matches = true},
    };
    for (const Case& each : cases) {
        EXPECT_EQ(matchesGlob(each.pattern, each.text), each.matches)
            << each.pattern << " ~ " << each.text;
    }
}

}  // namespace
}  // namespace lumifold
