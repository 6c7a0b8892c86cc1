#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "core/platform/PreferencesService.h"
#include "tests/engine/EngineTestSupport.h"

namespace lumifold::testing {
namespace {

class EngineInspectPreviewTest : public EngineTest {};

TEST_F(EngineInspectPreviewTest, NoListMeansTheDefaultFoldersAndAnEmptyListMeansNone) {
    const auto folders = makeDefaultFolders();
    EXPECT_EQ(engine->resolveFolders(std::nullopt), folders);

    // Without a preferences file inspect still describes everything, and creates nothing.
    const auto [system, settings] = engine->inspect();
    EXPECT_EQ(system.buildVersion, "22A380");
    EXPECT_EQ(system.currentFinderDefaults, FinderLayoutPreferences::preferred(54.0));
    EXPECT_EQ(system.defaultGridSpacing, 54.0);
    EXPECT_FALSE(platform::fileExists(preferencesPath()));
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
    EXPECT_EQ(engine->targetLayout(), FinderLayoutPreferences::preferred(80.0));
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

// A rejected store costs every store plan but leaves the other changes; the transfer warning
// leads, and a preview never quits the Finder.
TEST_F(EngineInspectPreviewTest, TransferWarningLeadsAndARejectedStoreBecomesOneWarning) {
    writeUserPreferences();
    const std::string documents = home.makeFolder("Documents");
    const std::string downloads = home.makeFolder("Downloads");
    writeStore("Documents", {viewStyle(".", "Nlsv")});
    home.writeFile("Downloads/.DS_Store", std::string(64, 'x'));  // no "Bud1" magic
    home.writeFile("Downloads/setup.dmg", "dmg");
    finder.transferWindow = true;
    finder.running = true;

    const auto preview = engine->preview(std::vector<std::string>{documents, downloads});
    EXPECT_EQ(preview.warnings,
              (std::vector<std::string>{
                  "Finder currently has active file transfers. Finder relaunch should be "
                  "deferred until transfers complete.",
                  "Failed to evaluate .DS_Store reconciliation: Could not read \"" + downloads +
                      "/.DS_Store\": Invalid magic header"}));
    EXPECT_TRUE(preview.targetDSStorePaths.empty());
    EXPECT_TRUE(preview.preservedEntriesSummary.empty());
    EXPECT_FALSE(preview.plistChanges.empty());
    EXPECT_EQ(preview.folderChanges,
              (std::vector<SettingChange>{{"Downloads", "setup.dmg/hasHiddenExtension",
                                           "false (visible)", "true (hidden)", "File Extension"}}));
    EXPECT_TRUE(finder.calls.empty());
}

// A file Apply would read or write that cannot be read never hangs a stage and is never
// overwritten: the reading stages name it and go on, Apply names it and changes nothing.
TEST_F(EngineInspectPreviewTest, FilesThatCannotBeReadAreNamedAndNothingIsWritten) {
    writeUserPreferences();
    const std::vector<std::string> folders{home.makeFolder("Documents")};
    const std::string store = home / "Documents/.DS_Store";
    const std::string domain = *platform::PreferencesService(home.path())
                                    .domainPath(platform::PreferencesService::kAnyApplication,
                                                platform::PreferencesService::Host::current);
    const std::string preferences = preferencesPath();
    const Bytes goodPreferences = platform::readFile(preferences);
    const std::vector<std::pair<std::string, std::function<void()>>> cases{
        {store, [&] { ASSERT_EQ(::mkfifo(store.c_str(), 0600), 0); }},
        {store, [&] { ASSERT_EQ(::symlink("/dev/zero", store.c_str()), 0); }},
        {preferences,
         [&] { home.writeFile("Library/Preferences/com.apple.finder.plist", "<plist>"); }},
        {domain, [&] { home.writeFile(domain.substr(home.path().size() + 1), "damaged"); }},
    };
    for (const auto& [path, plant] : cases) {
        SCOPED_TRACE(path);
        plant();
        const Fingerprint before = fingerprint(true);
        const auto names = [&](const std::vector<std::string>& warnings) {
            return std::any_of(warnings.begin(), warnings.end(),
                               [&](const auto& w) { return w.find(path) != std::string::npos; });
        };
        EXPECT_TRUE(names(engine->preview(folders).warnings));
        if (path == store) {
            std::vector<std::string> inspected, verified;
            engine->inspect(folders, &inspected);
            engine->verify(folders, &verified);
            EXPECT_TRUE(names(inspected));
            EXPECT_TRUE(names(verified));
        }
        try {
            engine->apply(folders, true);
            ADD_FAILURE() << "Apply went ahead";
        } catch (const Error& error) {
            EXPECT_NE(error.message().find(path), std::string::npos) << error.message();
        }
        EXPECT_EQ(fingerprint(true), before);
        platform::removeFile(path);
        home.writeFile("Library/Preferences/com.apple.finder.plist", goodPreferences);
    }
}

// Every stage leaves the same folders alone, however the home is spelled.
TEST_F(EngineInspectPreviewTest, ExcludedFoldersAreLeftOutOfEveryStageHoweverTheHomeIsSpelled) {
    TempHome outside(TempHome::Place::outsideTemporary);
    if (!outside.isOutsideTemporary()) GTEST_SKIP() << "no home outside the temporary folders";
    const std::string mail = outside.makeFolder("Library/Mail");
    const std::string store =
        outside.writeFile("Library/Mail/.DS_Store", writer.encode({viewStyle(".", "Nlsv")}));
    outside.writeFile("Library/Mail/inbox.txt", "mail");
    const std::string documents = outside.makeFolder("Documents");
    outside.writeFile("Documents/.DS_Store", writer.encode({viewStyle(".", "Nlsv")}));
    ASSERT_EQ(::symlink(outside.path().c_str(), (home / "linked-home").c_str()), 0);
    for (const std::string& spelling :
         {outside.path(), outside.path() + "/", home / "linked-home"}) {
        SCOPED_TRACE(spelling);
        const auto spelled = makeEngine(spelling);
        const std::vector<std::string> folders{spelling + "/Library/Mail",
                                               appending(spelling, "Documents")};
        EXPECT_EQ(spelled->inspect(folders).second.size(), 1u);
        EXPECT_EQ(spelled->verify(folders).folderResults.size(), 1u);
        const ChangePreview preview = spelled->preview(folders);
        EXPECT_EQ(preview.targetDSStorePaths.size(), 1u);
        EXPECT_TRUE(preview.folderChanges.size() == 1u) << preview.folderChanges.size();
    }
    const Bytes mailStore = platform::readFile(store);
    makeEngine(outside.path() + "/")->apply(std::vector<std::string>{mail, documents}, false);
    EXPECT_EQ(platform::readFile(store), mailStore);
    EXPECT_FALSE(platform::hasHiddenExtension(outside / "Library/Mail/inbox.txt").value_or(false));
}

}  // namespace
}  // namespace lumifold::testing
