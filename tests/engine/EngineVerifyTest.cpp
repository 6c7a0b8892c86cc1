#include <gtest/gtest.h>

#include "tests/engine/EngineTestSupport.h"

namespace lumifold::testing {
namespace {

class EngineVerifyTest : public EngineTest {
  protected:
    EngineVerifyTest() { writePreferences(FinderLayoutPreferences::preferred(54.0)); }

    FolderVerificationItem verifyOne(const std::string& folder) const {
        const auto report = engine->verify(std::vector<std::string>{folder});
        EXPECT_EQ(report.folderResults.size(), 1u);
        return report.folderResults.empty() ? FolderVerificationItem{} : report.folderResults[0];
    }

    // The preferences file with one key of the icon-view settings replaced.
    void writePreferredWith(const std::string& key, PlistValue value) const {
        FinderPreferencesManager manager(preferencesPath(), home.path());
        PlistDictionary root = *manager.loadPreferencesDictionary();
        auto standard = *root.at("StandardViewSettings").ifDictionary();
        auto iconViewSettings = *standard.at("IconViewSettings").ifDictionary();
        iconViewSettings[key] = std::move(value);
        standard["IconViewSettings"] = PlistValue::dictionary(iconViewSettings);
        root["StandardViewSettings"] = PlistValue::dictionary(standard);
        writePreferencesDictionary(root);
    }
};

TEST_F(EngineVerifyTest, CleanFolderInheritsTheDefaults) {
    const std::string folder = home.makeFolder("Documents");
    const auto report = engine->verify(std::vector<std::string>{folder});
    EXPECT_TRUE(report.isFullyCompliant());
    EXPECT_TRUE(report.discrepancies.empty());
    ASSERT_EQ(report.folderResults.size(), 1u);
    EXPECT_EQ(report.folderResults[0],
              (FolderVerificationItem{folder, true, true, true, false, false,
                                      "Inherits global defaults cleanly"}));
}

TEST_F(EngineVerifyTest, LocalIconViewOverrideIsReportedAndJudged) {
    const std::string folder = home.makeFolder("Documents");
    writeStore("Documents", {iconView(".", 44.0, "kind")});
    auto item = verifyOne(folder);
    EXPECT_TRUE(item.isCompliant());
    EXPECT_EQ(item.notes, "Local .DS_Store: iconSize=44.0, arrangeBy=kind");

    writeStore("Documents", {iconView(".", 64.0, "name")});
    item = verifyOne(folder);
    EXPECT_FALSE(item.iconSizeMatches);
    EXPECT_FALSE(item.sortByMatches);
    EXPECT_TRUE(item.viewStyleMatches);
    EXPECT_TRUE(item.conflictingOverridesPresent);
    EXPECT_EQ(item.notes, "Local .DS_Store: iconSize=64.0, arrangeBy=name");
}

TEST_F(EngineVerifyTest, ListViewOverrideAndVisibleExtensionsShareOneNote) {
    const std::string folder = home.makeFolder("Documents");
    writeStore("Documents", {viewStyle(".", "icnv"), listView(".")});
    for (const char* name : {"a.pdf", "b.txt", "c.png"})
        home.writeFile(std::string("Documents/") + name, "x");
    home.writeFile("Documents/README", "no extension, nothing to hide");
    const auto item = verifyOne(folder);
    EXPECT_EQ(item.notes, "Contains list view override 'lsvp'; 3 file(s) have visible extensions");
    EXPECT_TRUE(item.conflictingOverridesPresent);
    EXPECT_TRUE(item.viewStyleMatches);
}

TEST_F(EngineVerifyTest, ParentRecordsComeAfterLocalOnesAndFlagsAccumulate) {
    const std::string folder = home.makeFolder("Documents");
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

TEST_F(EngineVerifyTest, MissingFolderIsInaccessible) {
    const std::string missing = home / "Gone";
    const auto report = engine->verify(std::vector<std::string>{missing});
    EXPECT_FALSE(report.isFullyCompliant());
    EXPECT_TRUE(report.finderDefaultsValid);
    EXPECT_EQ(report.inaccessibleCount, 1);
    EXPECT_EQ(report.folderResults[0],
              (FolderVerificationItem{missing, false, false, false, false, true,
                                      "Folder does not exist or inaccessible"}));
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
    const std::string folder = home.makeFolder("Documents");
    writeStore("Documents", {iconView(".", 44.001, "kind")});
    writePreferredWith("iconSize", PlistValue::real(44.0));
    EXPECT_TRUE(engine->verify(std::vector<std::string>{folder}).isFullyCompliant());

    writePreferredWith("iconSize", PlistValue::real(44.001));
    writePreferredWith("arrangeBy", PlistValue::string("name"));
    const auto report = engine->verify(std::vector<std::string>{folder});
    EXPECT_EQ(report.discrepancies,
              (std::vector<std::string>{"StandardViewSettings arrangeBy is 'name', expected 'kind'",
                                        "StandardViewSettings iconSize is 44.001, expected 44.0"}));
    ASSERT_EQ(report.folderResults.size(), 1u);
    EXPECT_TRUE(report.folderResults[0].isCompliant());
    EXPECT_EQ(report.folderResults[0].notes, "Local .DS_Store: iconSize=44.001, arrangeBy=kind");
}

TEST_F(EngineVerifyTest, BrokenStoresCountAsAbsentAndNothingIsWritten) {
    const std::string folder = home.makeFolder("Documents");
    home.writeFile("Documents/.DS_Store", std::string(64, 'x'));
    home.writeFile(".DS_Store", "short");
    const Fingerprint before = fingerprint(true);
    const auto item = verifyOne(folder);
    EXPECT_EQ(item.notes, "Inherits global defaults cleanly");
    EXPECT_TRUE(item.isCompliant());
    EXPECT_EQ(fingerprint(true), before);
}

}  // namespace
}  // namespace lumifold::testing
