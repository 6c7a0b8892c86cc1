#include <gtest/gtest.h>

#include "tests/engine/EngineTestSupport.h"

namespace lumifold::testing {
namespace {

class EngineVerifyTest : public EngineTest {
  protected:
    EngineVerifyTest() { writePreferences(FinderLayoutPreferences::preferred(54.0)); }

    FolderVerificationItem verifyOne(const std::string& path) const {
        const auto report = engine->verify(std::vector<std::string>{path});
        EXPECT_EQ(report.folderResults.size(), 1u);
        return report.folderResults.empty() ? FolderVerificationItem{} : report.folderResults[0];
    }

    const std::string folder = home.makeFolder("Documents");
};

// Fields: path, view style, icon size and sorting match, conflicting overrides, inaccessible.
TEST_F(EngineVerifyTest, FolderNotesAndFlags) {
    const auto check = [&](const FolderVerificationItem& expected) {
        EXPECT_EQ(verifyOne(expected.path), expected);
    };
    check({folder, true, true, true, false, false, "Inherits global defaults cleanly"});

    writeStore("Documents", {iconView(".", 44.0, "kind")});
    check(
        {folder, true, true, true, false, false, "Local .DS_Store: iconSize=44.0, arrangeBy=kind"});
    writeStore("Documents", {iconView(".", 64.0, "name")});
    check({folder, true, false, false, true, false,
           "Local .DS_Store: iconSize=64.0, arrangeBy=name"});

    // Verify judges a record as the planner does: a text size Apply would rewrite is a conflict.
    const PlistDictionary textSize{{"iconSize", PlistValue::real(44.0)},
                                   {"arrangeBy", PlistValue::string("kind")},
                                   {"textSize", PlistValue::real(16.0)}};
    writeStore(
        "Documents",
        {{".", "icvp", kTypeBlob,
          DSStoreValue::data(platform::toBinaryPropertyList(PlistValue::dictionary(textSize)))}});
    check(
        {folder, true, true, true, true, false, "Local .DS_Store: iconSize=44.0, arrangeBy=kind"});
    EXPECT_EQ(engine->preview(std::vector<std::string>{folder}).targetDSStorePaths.size(), 1u);

    writeStore("Documents", {viewStyle(".", "icnv"), listView(".")});
    for (const char* name : {"a.pdf", "b.txt", "c.png"}) {
        home.writeFile(std::string("Documents/") + name, "x");
    }
    home.writeFile("Documents/README", "no extension, nothing to hide");
    check({folder, true, true, true, true, false,
           "Contains list view override 'lsvp'; 3 file(s) have visible extensions"});

    const std::string missing = home / "Gone";
    check({missing, false, false, false, false, true, "Folder does not exist or inaccessible"});
    const auto report = engine->verify(std::vector<std::string>{missing});
    EXPECT_FALSE(report.isFullyCompliant());
    EXPECT_TRUE(report.finderDefaultsValid);
    EXPECT_EQ(report.inaccessibleCount, 1);
}

TEST_F(EngineVerifyTest, ParentRecordsComeAfterLocalOnesAndFlagsAccumulate) {
    writeStore("Documents", {viewStyle(".", "clmv")});
    writeStore("", {viewStyle("Documents", "Nlsv"), iconView("Documents", 44.001, "kind"),
                    viewStyle("Other", "Flwv")});
    auto item = verifyOne(folder);
    EXPECT_EQ(item.notes, "Parent .DS_Store: vstl override 'Nlsv'");
    EXPECT_FALSE(item.viewStyleMatches);
    EXPECT_TRUE(item.iconSizeMatches) << "44.001 is within a hundredth";

    writeStore("", {listView("Documents", "lsvC"), iconView("Documents", 32.0, "kind")});
    item = verifyOne(folder);
    EXPECT_EQ(item.notes, "Parent .DS_Store: list view override 'lsvC'");
    EXPECT_FALSE(item.viewStyleMatches) << "from the local vstl";
    EXPECT_FALSE(item.iconSizeMatches);
    EXPECT_TRUE(item.sortByMatches);
}

TEST_F(EngineVerifyTest, GlobalDiscrepanciesNameValueAndExpectation) {
    writePreferencesDictionary({{"FXPreferredViewStyle", PlistValue::string("Nlsv")},
                                {"FXArrangeGroupViewBy", PlistValue::string("Name")},
                                {"AppleShowAllExtensions", PlistValue::boolean(true)}});
    // The global domain speaks first for the extension flag.
    platform::PreferencesService(home.path())
        .setValue("AppleShowAllExtensions", PlistValue::boolean(true),
                  platform::PreferencesService::kAnyApplication,
                  platform::PreferencesService::User::current,
                  platform::PreferencesService::Host::current);
    const auto report = engine->verify(std::vector<std::string>{});
    EXPECT_FALSE(report.finderDefaultsValid);
    EXPECT_FALSE(report.isFullyCompliant());
    EXPECT_EQ(report.discrepancies,
              (std::vector<std::string>{
                  "FXPreferredViewStyle is 'Nlsv', expected 'icnv'",
                  "FXArrangeGroupViewBy is 'Name', expected 'None'",
                  "AppleShowAllExtensions is true (extensions shown), expected false (extensions "
                  "hidden)"}));
}

TEST_F(EngineVerifyTest, GlobalIconSizeHasNoToleranceWhileFoldersHaveOne) {
    writeStore("Documents", {iconView(".", 44.001, "kind")});
    EXPECT_TRUE(engine->verify(std::vector<std::string>{folder}).isFullyCompliant());

    FinderLayoutPreferences layout = FinderLayoutPreferences::preferred(54.0);
    layout.iconSize = 44.001;
    layout.sortBy = "name";
    writePreferences(layout);
    const auto report = engine->verify(std::vector<std::string>{folder});
    EXPECT_EQ(report.discrepancies,
              (std::vector<std::string>{"StandardViewSettings arrangeBy is 'name', expected 'kind'",
                                        "StandardViewSettings iconSize is 44.001, expected 44.0"}));
    ASSERT_EQ(report.folderResults.size(), 1u);
    EXPECT_TRUE(report.folderResults[0].isCompliant());
    EXPECT_EQ(report.folderResults[0].notes, "Local .DS_Store: iconSize=44.001, arrangeBy=kind");
}

TEST_F(EngineVerifyTest, BrokenStoresCountAsAbsentAndNothingIsWritten) {
    home.writeFile("Documents/.DS_Store", std::string(64, 'x'));
    home.writeFile(".DS_Store", "short");
    const Fingerprint before = fingerprint(true);
    EXPECT_EQ(verifyOne(folder), (FolderVerificationItem{folder, true, true, true, false, false,
                                                         "Inherits global defaults cleanly"}));
    EXPECT_EQ(fingerprint(true), before);
}

}  // namespace
}  // namespace lumifold::testing
