// Every stage works to the user's layout file: its top level, and each folder's own rule.
#include "core/inspection/FolderViewRecords.h"
#include "tests/engine/EngineTestSupport.h"

namespace lumifold::testing {
namespace {

class EngineLayoutTest : public EngineTest {
  protected:
    // The layout file, and the default folders, so that Verify can find each compliant.
    void writeLayout(const std::string& text) const {
        home.writeFile(".config/lumifold/layout.toml", text);
        home.makeDefaultFolders();
    }
    static std::string describe(const VerificationReport& report) {
        std::string text;
        for (const auto& line : report.discrepancies) text += line + "\n";
        for (const auto& folder : report.folderResults)
            text += folder.path + ": " + folder.notes + "\n";
        return text;
    }
    // The icon-view options of `name` in the store at `path`.
    static IconViewSettings iconViewIn(const std::string& path, const std::string& name) {
        for (const auto& entry : DSStoreReader().parseEntries(platform::readFile(path))) {
            if (entry.filename == name && entry.code == kIconViewCode) {
                return IconViewSettings::read(entry.value).value();
            }
        }
        ADD_FAILURE() << "no icvp for " << name << " in " << path;
        return {};
    }
};

TEST_F(EngineLayoutTest, ATopLevelLayoutReachesEveryStoreAndTheGlobalKeysAndVerifyAgrees) {
    writeLayout("icon-size = 64\narrange-by = \"name\"\n");
    writeUserPreferences(80.0);
    const std::string own =
        writeStore("Desktop", {viewStyle(".", "Nlsv"), iconView(".", 32, "kind")});
    const std::string parent = writeStore("", {iconView("Documents", 44, "kind")});

    const ApplyResult result = engine->apply(std::nullopt, false);
    EXPECT_TRUE(result.verification.isFullyCompliant()) << describe(result.verification);
    for (const auto& [store, name] : {std::pair{own, "."}, std::pair{parent, "Documents"}}) {
        const IconViewSettings options = iconViewIn(store, name);
        EXPECT_EQ(options.iconSize, 64.0);
        EXPECT_EQ(options.arrangeBy, "name");
    }
    const FinderLayoutPreferences global = engine->preferencesManager().currentPreferences();
    EXPECT_EQ(global.iconSize, 64.0);
    EXPECT_EQ(global.sortBy, "name");
    EXPECT_EQ(global.gridSpacing, 80.0);  // "keep"
    ASSERT_TRUE(result.manifest.layout);
    EXPECT_EQ(result.manifest.layout->path, home / ".config/lumifold/layout.toml");
    EXPECT_EQ(result.manifest.layout->target.at("icon-size"), "64");
    EXPECT_EQ(result.manifest.layout->target.at("arrange-by"), "name");
    EXPECT_EQ(engine->backupManager().loadManifest(result.snapshot.id)->layout,
              result.manifest.layout);
}

TEST_F(EngineLayoutTest, ARuleGivesOnlyItsFolderItsTargetAndKeepsItsListView) {
    writeLayout(
        "[[folder]]\npath = \"~/Downloads\"\nview = \"list\"\narrange-by = \"date-added\"\n");
    writeUserPreferences();
    const std::string downloads = writeStore(
        "Downloads", {viewStyle(".", "icnv"), iconView(".", 44, "kind"), blob(".", "lsvp")});
    const std::string documents =
        writeStore("Documents", {viewStyle(".", "Nlsv"), blob(".", "lsvp")});

    const ChangePlan plan = engine->plan();
    std::vector<std::string> changes;
    for (const auto& change : plan.preview.folderChanges) {
        changes.push_back(change.key + " " + change.oldValue + " -> " + change.newValue);
    }
    EXPECT_EQ(changes,
              (std::vector<std::string>{
                  "Documents/lsvp present -> removed", "Documents/vstl Nlsv -> icnv",
                  "Downloads/icvp.arrangeBy kind -> dateAdded", "Downloads/vstl icnv -> Nlsv"}));
    const ApplyResult result = engine->apply(std::nullopt, false);
    EXPECT_TRUE(result.verification.isFullyCompliant()) << describe(result.verification);
    EXPECT_TRUE(holds(downloads, viewStyle(".", "Nlsv")) && holds(downloads, blob(".", "lsvp")));
    EXPECT_EQ(iconViewIn(downloads, ".").arrangeBy, "dateAdded");
    EXPECT_TRUE(holds(documents, viewStyle(".", "icnv")));
    EXPECT_FALSE(holds(documents, blob(".", "lsvp")));
    EXPECT_EQ(iconViewIn(documents, ".").arrangeBy, "kind");  // no rule: the top level
}

TEST_F(EngineLayoutTest, HideExtensionsFalseShowsThemGloballyAndLeavesEveryFlag) {
    if (!flagsWork()) GTEST_SKIP() << "this file system keeps no extended attributes";
    writeLayout("hide-extensions = false\n");
    const std::string hidden = home.writeFile("Documents/a.pdf", "pdf");
    const std::string shown = home.writeFile("Documents/b.pdf", "pdf");
    platform::setHasHiddenExtension(hidden, true);
    EXPECT_EQ(mentions(engine->verify().discrepancies, "AppleShowAllExtensions is false"), 1);
    const ApplyResult result = engine->apply(std::nullopt, false);
    EXPECT_TRUE(result.verification.isFullyCompliant()) << describe(result.verification);
    EXPECT_TRUE(engine->preferencesManager().showsAllExtensions());
    EXPECT_TRUE(hiddenExtension(hidden) && !hiddenExtension(shown));
}

TEST_F(EngineLayoutTest, AnUnusableLayoutFileStopsEveryWriteAndIsSaidByEveryStage) {
    writeLayout("icon-size = 64\nicon-sise = 64\n");
    writeUserPreferences();
    writeStore("Documents", {viewStyle(".", "Nlsv")});
    const std::string problem =
        home / ".config/lumifold/layout.toml" + ":2: icon-sise: unknown key";
    const Fingerprint before = fingerprint(true);
    EXPECT_LUMIFOLD_ERROR((void)engine->layout(), LayoutFile::kDomain, LayoutFile::kInvalid,
                          problem);
    EXPECT_LUMIFOLD_ERROR((void)engine->apply(std::nullopt, false), LayoutFile::kDomain,
                          LayoutFile::kInvalid,
                          problem + "\nNothing is changed until the layout file is mended.");
    EXPECT_TRUE(engine->plan().preview.folderChanges.empty());
    std::vector<std::string> warnings;
    (void)engine->inspect(std::nullopt, &warnings);
    EXPECT_EQ(mentions(warnings, problem), 1);
    EXPECT_EQ(engine->verify().discrepancies.front(), problem);
    EXPECT_TRUE(fingerprint(true) == before && finder.log.empty());
}

}  // namespace
}  // namespace lumifold::testing
