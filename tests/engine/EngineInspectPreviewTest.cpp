#include <gtest/gtest.h>

#include "tests/dsstore/DSStoreTestSupport.h"
#include "tests/engine/EngineTestSupport.h"

namespace lumifold::testing {
namespace {

const char* const kTransferWarning =
    "Finder currently has active file transfers. Finder relaunch should be deferred until "
    "transfers complete.";

class EngineInspectPreviewTest : public EngineTest {};

TEST_F(EngineInspectPreviewTest, NoListMeansTheDefaultFoldersAndAnEmptyListMeansNone) {
    const auto folders = makeDefaultFolders();
    EXPECT_EQ(engine->resolveFolders(std::nullopt), folders);

    const auto [system, settings] = engine->inspect();
    ASSERT_EQ(settings.size(), folders.size());
    for (std::size_t i = 0; i < folders.size(); ++i) EXPECT_EQ(settings[i].path, folders[i]);
    EXPECT_EQ(engine->verify().folderResults.size(), folders.size());

    const std::vector<std::string> none;
    EXPECT_TRUE(engine->inspect(none).second.empty());
    EXPECT_TRUE(engine->verify(none).folderResults.empty());
    home.writeFile("Documents/report.pdf", "pdf");
    EXPECT_EQ(engine->preview().folderChanges.size(), 1u);
    EXPECT_TRUE(engine->preview(none).folderChanges.empty());
}

TEST_F(EngineInspectPreviewTest, TargetKeepsTheUsersGridSpacingOrTheFallback) {
    EXPECT_EQ(engine->targetLayout(), FinderLayoutPreferences::preferred(54.0));
    writeUserPreferences(80.0);
    const FinderLayoutPreferences target = engine->targetLayout();
    EXPECT_EQ(target, FinderLayoutPreferences::preferred(80.0));
    EXPECT_EQ(target.viewStyle, "icnv");
    EXPECT_EQ(target.iconSize, 44.0);
    EXPECT_TRUE(target.hideFileExtensions);
}

TEST_F(EngineInspectPreviewTest, InspectWithoutAPreferencesFileStillDescribesEverything) {
    const auto folders = makeDefaultFolders();
    ASSERT_FALSE(platform::fileExists(preferencesPath()));
    const auto [system, settings] = engine->inspect();
    EXPECT_EQ(system.buildVersion, "22A380");
    EXPECT_EQ(system.currentFinderDefaults, FinderLayoutPreferences::preferred(54.0));
    EXPECT_EQ(system.defaultGridSpacing, 54.0);
    EXPECT_EQ(settings.size(), folders.size());
    EXPECT_FALSE(platform::fileExists(preferencesPath()));
}

TEST_F(EngineInspectPreviewTest, ListViewStoreGivesChangesAndPreservedCounts) {
    const std::string documents = home.makeFolder("Documents");
    const std::string store =
        writeStore("Documents", {viewStyle(".", "Nlsv"), listView("."), blob("a.pdf", "Iloc"),
                                 blob("b.pdf", "Iloc"), comment("a.pdf", "keep")});
    const ChangePreview preview = engine->preview(std::vector<std::string>{documents});

    // In the store's record order: "lsvp" sorts before "vstl".
    EXPECT_EQ(
        preview.folderChanges,
        (std::vector<SettingChange>{
            {"Documents/.DS_Store", "Documents/lsvp", "present", "removed", "Remove Override"},
            {"Documents/.DS_Store", "Documents/vstl", "Nlsv", "icnv", "Folder Override"}}));
    EXPECT_EQ(preview.targetDSStorePaths, std::vector<std::string>{store});
    EXPECT_EQ(preview.preservedEntriesSummary,
              (std::map<std::string, std::int64_t>{{"Iloc", 2}, {"cmmt", 1}}));
    EXPECT_TRUE(preview.warnings.empty());
    // No preferences file reads as preferred: nothing global to change.
    EXPECT_TRUE(preview.plistChanges.empty());
}

TEST_F(EngineInspectPreviewTest, PreservedCountsAddUpOverEveryRewrittenStore) {
    const std::string a = home.makeFolder("A"), b = home.makeFolder("B"), c = home.makeFolder("C");
    std::vector<DSStoreEntry> first{viewStyle(".", "clmv")}, second{viewStyle(".", "clmv")};
    for (char i = 0; i < 5; ++i) first.push_back(blob(std::string("f") + i, "Iloc"));
    for (char i = 0; i < 2; ++i) second.push_back(blob(std::string("g") + i, "Iloc"));
    writeStore("A", first);
    writeStore("B", second);
    writeStore("C", {viewStyle(".", "clmv")});
    writeStore("", {blob("Elsewhere", "Iloc")});  // parent of all three, no plan: not counted
    const auto preview = engine->preview(std::vector<std::string>{a, b, c});
    EXPECT_EQ(preview.targetDSStorePaths.size(), 3u);
    EXPECT_EQ(preview.preservedEntriesSummary, (std::map<std::string, std::int64_t>{{"Iloc", 7}}));
}

TEST_F(EngineInspectPreviewTest, TransferWarningComesFirst) {
    const std::string documents = home.makeFolder("Documents");
    writeStore("Documents", {viewStyle(".", "Nlsv")});
    home.writeFile("Documents/bad/.DS_Store", "not a store at all, long enough to be read");
    finder.transferWindow = true;
    finder.running = true;
    const auto preview =
        engine->preview(std::vector<std::string>{documents, home / "Documents/bad"});
    ASSERT_EQ(preview.warnings.size(), 2u);
    EXPECT_EQ(preview.warnings[0], kTransferWarning);
    EXPECT_EQ(preview.warnings[1].rfind("Failed to evaluate .DS_Store reconciliation: ", 0), 0u);
    EXPECT_TRUE(finder.calls.empty()) << "a preview never quits the Finder";
}

TEST_F(EngineInspectPreviewTest, RejectedStoreBecomesOneWarningAndKeepsTheOtherChanges) {
    writeUserPreferences();
    const std::string documents = home.makeFolder("Documents");
    const std::string downloads = home.makeFolder("Downloads");
    writeStore("Documents", {viewStyle(".", "Nlsv")});
    home.writeFile("Downloads/.DS_Store", std::string(64, 'x'));  // no "Bud1" magic
    home.writeFile("Downloads/setup.dmg", "dmg");

    const auto preview = engine->preview(std::vector<std::string>{documents, downloads});
    EXPECT_EQ(preview.warnings,
              std::vector<std::string>{
                  "Failed to evaluate .DS_Store reconciliation: Invalid magic header"});
    EXPECT_TRUE(preview.targetDSStorePaths.empty());
    EXPECT_TRUE(preview.preservedEntriesSummary.empty());
    EXPECT_FALSE(preview.plistChanges.empty());
    EXPECT_EQ(preview.folderChanges,
              (std::vector<SettingChange>{{"Downloads", "setup.dmg/hasHiddenExtension",
                                           "false (visible)", "true (hidden)", "File Extension"}}));
}

TEST_F(EngineInspectPreviewTest, UndecodableStoreIsNamedAndLeftOutOfThePlans) {
    const std::string broken = home.makeFolder("Broken");
    const std::string fine = home.makeFolder("Fine");
    Bytes image = writer.encode({viewStyle(".", "Nlsv"), blob(".", "lsvp")});
    // The second record's type code becomes one the reader does not know.
    const std::size_t firstRecord = 0x44 + 8;
    const std::size_t secondRecord = firstRecord + 4 + 2 + 8 + 4 + 4;
    putText(image, secondRecord + 4 + 2 + 4, "zzzz");
    ASSERT_FALSE(DSStoreReader().parse(image).isComplete());
    const std::string brokenStore = home.writeFile("Broken/.DS_Store", image);
    const std::string fineStore = writeStore("Fine", {viewStyle(".", "Nlsv")});

    const auto preview = engine->preview(std::vector<std::string>{broken, fine});
    EXPECT_EQ(preview.warnings,
              std::vector<std::string>{"Skipped " + brokenStore +
                                       ": it holds records that cannot be decoded, so it is left "
                                       "unchanged."});
    EXPECT_EQ(preview.targetDSStorePaths, std::vector<std::string>{fineStore});
}

}  // namespace
}  // namespace lumifold::testing
