#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/platform/FileSystem.h"
#include "core/preferences/Layout.h"
#include "core/preferences/LayoutFile.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

constexpr const char* kPath = "/h/.config/lumifold/layout.toml";

TEST(LayoutFileTest, ReadsEveryKeyAndRuleAndPutsThemOverTheBuiltInLayout) {
    const LayoutFile file = LayoutFile::parse(R"(view = "list"
group-by = "date-added"
arrange-by = "tags"
icon-size = 64
grid-spacing = "keep"
text-size = 13.5
labels = "right"
item-info = true
icon-preview = false
hide-extensions = false

[[folder]]
path = "~/Downloads"
view = "column"
arrange-by = "date-added"
grid-spacing = 20
)",
                                              kPath);
    const FinderLayoutPreferences top = file.top.over(FinderLayoutPreferences::preferred(54));
    EXPECT_EQ(top, (FinderLayoutPreferences{"Nlsv", "Date Added", "label", 64, 54, 13.5, false,
                                            true, false, 0, false}));
    ASSERT_EQ(file.rules.size(), 1U);
    EXPECT_EQ(file.rules[0].line, 12U);
    EXPECT_EQ(file.rules[0].path, "~/Downloads");

    const Layout layout = Layout::resolve(file, 54, "/h");
    const FinderLayoutPreferences& downloads = layout.targetFor("/h/Downloads");
    EXPECT_EQ(downloads.viewStyle, "clmv");
    EXPECT_EQ(downloads.sortBy, "dateAdded");
    EXPECT_EQ(downloads.gridSpacing, 20);
    EXPECT_EQ(downloads.iconSize, 64);  // the rest from the top level
    EXPECT_EQ(layout.targetFor("/h/Documents"), layout.top());
    EXPECT_EQ(layout.describe(0)[1].origin, "the layout file");
    EXPECT_EQ(layout.describe(0)[2].origin, "rule 1 (~/Downloads)");
    EXPECT_EQ(layout.describe()[4].origin, "built in: the Finder's current spacing (\"keep\")");
}

TEST(LayoutFileTest, RefusesBadInputNamingTheFileTheLineAndTheKey) {
    const std::string at = std::string(kPath) + ":";
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"view = \"icon\"\nicon-size = \n", at + "2: not TOML: "},
        {"icon-sise = 64\n", at + "1: icon-sise: unknown key"},
        {"[display]\nview = \"icon\"\n", at + "1: display: unknown key"},
        {"view = \"grid\"\n", at + "1: view: expected one of icon, list, column, gallery"},
        {"group-by = 3\n", at + "1: group-by: expected one of none, name, kind, application,"},
        {"icon-size = \"big\"\n", at + "1: icon-size: expected a number from 16 to 512"},
        {"icon-size = 600\n", at + "1: icon-size: expected a number from 16 to 512"},
        {"text-size = 9.5\n", at + "1: text-size: expected a number from 10 to 16"},
        {"grid-spacing = \"wide\"\n",
         at + "1: grid-spacing: expected a number from 1 to 100, or \"keep\""},
        {"labels = \"left\"\n", at + "1: labels: expected one of bottom, right"},
        {"item-info = \"yes\"\n", at + "1: item-info: expected true or false"},
        {"folder = 3\n", at + "1: folder: expected [[folder]] tables"},
        {"[[folder]]\nview = \"list\"\n", at + "1: path: a [[folder]] rule needs a path"},
        {"[[folder]]\npath = 7\n", at + "2: path: expected a string"},
        {"[[folder]]\npath = \"Downloads\"\n", at + "2: path: expected a path beginning with"},
        {"[[folder]]\npath = \"/a/**/b\"\n", at + "2: path: ** may only end the path, as /**"},
        {"[[folder]]\npath = \"~/a\"\ngroup-by = \"kind\"\n",
         at + "3: group-by: the Finder keeps it only globally; set it at the top level"},
        {"[[folder]]\npath = \"~/a\"\nhide-extensions = true\n",
         at + "3: hide-extensions: the Finder keeps it only globally"},
        // Every problem is listed, not only the first.
        {"view = 1\n[[folder]]\nicon-size = 2\n",
         at + "1: view: expected one of icon, list, column, gallery\n" + at +
             "3: icon-size: expected a number from 16 to 512\n" + at +
             "2: path: a [[folder]] rule needs a path"},
    };
    for (const auto& [text, message] : cases) {
        try {
            (void)LayoutFile::parse(text, kPath);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const Error& error) {
            EXPECT_EQ(error.domain(), LayoutFile::kDomain);
            EXPECT_EQ(error.code(), LayoutFile::kInvalid);
            EXPECT_EQ(error.message().substr(0, message.size()), message) << text;
        }
    }
}

TEST(LayoutFileTest, ReadsOnlyARegularFileOfAtMostOneMebibyte) {
    testing::TempHome home;
    EXPECT_FALSE(LayoutFile::read(home / "missing.toml"));
    const std::string fifo = home / "fifo.toml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_LUMIFOLD_ERROR((void)LayoutFile::read(fifo), "POSIX", platform::kNotRegularFile,
                          "Could not read \"" + fifo + "\": it is not a regular file");
    const std::string large =
        home.writeFile("large.toml", "# " + std::string(LayoutFile::kReadLimit, 'x') + "\n");
    EXPECT_LUMIFOLD_ERROR((void)LayoutFile::read(large), "POSIX", platform::kFileTooLarge,
                          "Could not read \"" + large + "\": it is larger than 1 MiB");
    const auto read = LayoutFile::read(home.writeFile("ok.toml", "icon-size = 64\n"));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->sha256.size(), 64U);
    // Another home's file is under that home, never under $XDG_CONFIG_HOME.
    EXPECT_EQ(LayoutFile::defaultPath(home.path()), home / ".config/lumifold/layout.toml");
}

TEST(LayoutFileTest, RulePathsMatchWholePathsWithWildcardsWithinOneComponent) {
    const struct {
        const char* pattern;
        const char* path;
        bool matches;
    } cases[] = {
        {"/h/Downloads", "/h/Downloads", true},   {"/h/Downloads", "/h/Downloads/a", false},
        {"/h/Down*", "/h/Downloads", true},       {"/h/*", "/h/a/b", false},
        {"/h/*s", "/h/Pictures", true},           {"/h/*s", "/h/Music", false},
        {"/h/?usic", "/h/Music", true},           {"/h/?usic", "/h/Mmusic", false},
        {"/h/M?sik", "/h/Müsik", true},           {"/h/Projects/**", "/h/Projects/a/b", true},
        {"/h/Projects/**", "/h/Projects", false}, {"/h/*/**", "/h/a/b", true},
        {"/h/a*b*c", "/h/aXbYbZc", true},         {"/h/a*b*c", "/h/aXbYbZ", false},
    };
    for (const auto& [pattern, path, matches] : cases) {
        EXPECT_EQ(Layout::matches(pattern, path), matches) << pattern << " " << path;
    }
    // The first rule that matches wins; "~/" is the home.
    const LayoutFile file = LayoutFile::parse(
        "[[folder]]\npath = \"~/D*\"\nicon-size = 20\n[[folder]]\npath = \"~/Downloads\"\n"
        "icon-size = 30\n",
        kPath);
    const Layout layout = Layout::resolve(file, 54, "/h");
    EXPECT_EQ(layout.ruleFor("/h/Downloads"), 0U);
    EXPECT_EQ(layout.ruleFor("/elsewhere/Downloads", "/h/Downloads"), 0U);  // by its resolved path
    EXPECT_EQ(layout.ruleFor("/h/Music"), std::nullopt);
}

}  // namespace
}  // namespace lumifold
