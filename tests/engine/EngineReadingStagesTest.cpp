#include <gtest/gtest.h>
#include <unistd.h>

#include "core/platform/PreferencesService.h"
#include "tests/engine/EngineTestSupport.h"

namespace lumifold::testing {
namespace {

// Inspect, Preview and Verify: they describe, never write.
using EngineReadingStagesTest = EngineTest;

// Store changes in path order, then extensions; kept records summed; nothing written.
TEST_F(EngineReadingStagesTest, PreviewListsEveryChangeInOrderAndWritesNothing) {
    writeUserPreferences(80.0);
    EXPECT_EQ(engine->targetLayout(), FinderLayoutPreferences::preferred(80.0));
    const std::string documents = writeStore(
        "Documents",
        {viewStyle(".", "Nlsv"), blob(".", "lsvp"), blob("a", "Iloc"), blob("a", "cmmt")});
    const std::string pictures =
        writeStore("Pictures", {viewStyle(".", "clmv"), blob("b", "Iloc"), blob("c", "Iloc")});
    writeStore("", {blob("Elsewhere", "Iloc")});  // needs nothing, so its records are not counted
    home.writeFile("Documents/report.pdf", "pdf");
    finder.transferCount = "1";
    const Fingerprint before = fingerprint(true);

    const ChangePreview preview = engine->preview();
    std::string keys;
    for (const auto& change : preview.folderChanges)
        keys += change.target + " " + change.key + ", ";
    EXPECT_EQ(keys,
              "Documents/.DS_Store Documents/lsvp, Documents/.DS_Store Documents/vstl, "
              "Pictures/.DS_Store Pictures/vstl, Documents report.pdf/hasHiddenExtension, ");
    EXPECT_EQ(preview.targetDSStorePaths, (std::vector<std::string>{documents, pictures}));
    EXPECT_EQ(preview.preservedEntriesSummary,
              (std::map<std::string, std::int64_t>{{"Iloc", 3}, {"cmmt", 1}}));
    EXPECT_EQ(preview.warnings, std::vector<std::string>{
                                    "Finder currently has active file transfers. Finder relaunch "
                                    "should be deferred until transfers complete."});
    EXPECT_EQ(fingerprint(true), before);
    EXPECT_TRUE(finder.log.empty());
}

// An unreadable preferences file is named and never overwritten: Apply writes nothing at all.
TEST_F(EngineReadingStagesTest, ApplyRefusesBeforeWritingWhenAPreferencesFileCannotBeRead) {
    writeUserPreferences();
    const std::vector<std::string> folders{home.makeFolder("Documents")};
    const std::string preferences = preferencesPath();
    const std::string domain = *platform::PreferencesService(home.path())
                                    .domainPath(platform::PreferencesService::kAnyApplication,
                                                platform::PreferencesService::Host::current);
    const std::pair<std::string, std::function<void()>> cases[] = {
        {preferences, [&] { platform::writeFileAtomically(preferences, asBytes("<pl")); }},
        {domain, [&] { home.writeFile(domain.substr(home.path().size() + 1), "damaged"); }},
    };
    for (const auto& [path, plant] : cases) {
        SCOPED_TRACE(path);
        const Bytes kept = platform::readFile(preferences);
        plant();
        const Fingerprint before = fingerprint(true);
        EXPECT_GT(mentions(engine->preview(folders).warnings, path), 0);
        try {
            engine->apply(folders, true);
            ADD_FAILURE() << "Apply went ahead";
        } catch (const Error& error) {
            EXPECT_NE(error.message().find(path), std::string::npos) << error.message();
        }
        EXPECT_EQ(fingerprint(true), before);
        platform::removeFile(path);
        platform::writeFileAtomically(preferences, kept);
    }
}

// A store that cannot be decoded is named and left as it is, its folder is not compliant, and
// every other folder goes ahead.
TEST_F(EngineReadingStagesTest, ADamagedStoreIsLeftAloneWhileTheOtherFoldersGoAhead) {
    writeUserPreferences();
    const std::string store = home.writeFile("Documents/.DS_Store", std::string(64, 'x'));
    const std::string pictures = writeStore("Pictures", {viewStyle(".", "Nlsv")});
    const ApplyResult result =
        engine->apply(std::vector<std::string>{home / "Documents", home / "Pictures"}, false);
    EXPECT_EQ(mentions(result.warnings, store), 1);
    EXPECT_TRUE(holds(pictures, viewStyle(".", "icnv")));
    EXPECT_EQ(asText(platform::readFile(store)), std::string(64, 'x'));
    const auto& verified = result.verification.folderResults;
    ASSERT_EQ(verified.size(), 2u);
    EXPECT_TRUE(verified[0].inaccessible && verified[1].isCompliant()) << verified[1].notes;
    EXPECT_NE(verified[0].notes.find(store), std::string::npos) << verified[0].notes;
}

// Every stage leaves the same folders alone, however the home is spelled.
TEST_F(EngineReadingStagesTest, ExcludedFoldersAreLeftOutOfEveryStageHoweverTheHomeIsSpelled) {
    TempHome outside;
    const Bytes image = writer.encode({viewStyle(".", "Nlsv")});
    const std::string mail = outside.writeFile("Library/Mail/.DS_Store", image);
    outside.writeFile("Library/Mail/inbox.txt", "mail");
    outside.writeFile("Documents/.DS_Store", image);
    home.link(outside.path(), "linked");
    for (const std::string& spelling : {outside.path(), outside.path() + "/", home / "linked"}) {
        SCOPED_TRACE(spelling);
        const auto spelled = makeEngine(spelling);
        const std::vector<std::string> folders{spelling + "/Library/Mail",
                                               appending(spelling, "Documents")};
        EXPECT_EQ(spelled->inspect(folders).second.size(), 1u);
        EXPECT_EQ(spelled->verify(folders).folderResults.size(), 1u);
        EXPECT_EQ(spelled->preview(folders).folderChanges.size(), 1u);
    }
    makeEngine(outside.path() + "/")
        ->apply(std::vector<std::string>{outside / "Library/Mail", outside / "Documents"}, false);
    EXPECT_EQ(platform::readFile(mail), image);
    EXPECT_FALSE(hiddenExtension(outside / "Library/Mail/inbox.txt"));
}

// Verify judges records as the planner does: compliant exactly when Preview plans no store.
TEST_F(EngineReadingStagesTest, VerifySaysWhatDiffersAndAgreesWithThePlanner) {
    const std::string folder = home.makeFolder("Documents");
    struct Case {
        Bytes local{};   // the folder's own store; empty: none
        Bytes parent{};  // its parent's; empty: none
        FolderVerificationItem expected;
    };
    const Case cases[] = {
        {.expected = {.path = folder, .notes = "Inherits global defaults cleanly"}},
        {.local = writer.encode({iconView(".", 64.0, "name")}),
         .expected = {.path = folder,
                      .iconSizeMatches = false,
                      .sortByMatches = false,
                      .conflictingOverridesPresent = true,
                      .notes = "Local .DS_Store: arrangeBy name (expected kind), iconSize 64.0 "
                               "(expected 44.0)"}},
        {.local = writer.encode({viewStyle(".", "clmv")}),
         .parent =
             writer.encode({viewStyle("Documents", "Nlsv"), iconView("Documents", 44.001, "kind")}),
         .expected = {.path = folder,
                      .viewStyleMatches = false,
                      .conflictingOverridesPresent = true,
                      .notes = "vstl override 'clmv'; Parent .DS_Store: vstl override 'Nlsv'"}},
        {.local = writer.encode({iconView(
             ".", 44.0, "kind",
             {{"textSize", PlistValue::real(16)}, {"showItemInfo", PlistValue::boolean(true)}})}),
         .parent = writer.encode({iconView("Documents", 44.0, "kind",
                                           {{"showIconPreview", PlistValue::boolean(false)}})}),
         .expected = {.path = folder,
                      .conflictingOverridesPresent = true,
                      .notes = "Local .DS_Store: textSize 16.0 (expected 12.0), showItemInfo true "
                               "(expected false); Parent .DS_Store: showIconPreview false "
                               "(expected true)"}},
        {.local = writer.encode({viewStyle(".", "icnv"), blob(".", "lsvp")}),
         .expected = {.path = folder,
                      .conflictingOverridesPresent = true,
                      .notes = "Contains list view override 'lsvp'"}},
    };
    for (const Case& each : cases) {
        const FolderVerificationItem& expected = each.expected;
        SCOPED_TRACE(expected.notes);
        for (const auto& [path, image] : {std::pair{folder + "/.DS_Store", each.local},
                                          std::pair{home / ".DS_Store", each.parent}}) {
            ::unlink(path.c_str());
            if (!image.empty()) platform::writeFileAtomically(path, image);
        }
        const Fingerprint before = fingerprint(true);
        const auto report = engine->verify(std::vector<std::string>{folder});
        EXPECT_EQ(report.folderResults, std::vector<FolderVerificationItem>{expected});
        EXPECT_EQ(report.isFullyCompliant(), expected.isCompliant());
        EXPECT_EQ(engine->preview(std::vector<std::string>{folder}).targetDSStorePaths.empty(),
                  expected.isCompliant());
        EXPECT_EQ(fingerprint(true), before);
    }
    for (const char* name : {"a.pdf", "b.txt", "c.png", "README"})
        home.writeFile(std::string("Documents/") + name, "");
    EXPECT_EQ(engine->verify(std::vector<std::string>{folder}).folderResults[0].notes,
              "Contains list view override 'lsvp'; 3 file(s) have visible extensions");

    writeUserPreferences();
    const auto global = engine->verify(std::vector<std::string>{});
    EXPECT_FALSE(global.finderDefaultsValid || global.isFullyCompliant());
    EXPECT_EQ(global.discrepancies,
              (std::vector<std::string>{
                  "FXPreferredViewStyle is 'Nlsv', expected 'icnv'",
                  "FXArrangeGroupViewBy is 'Name', expected 'None'",
                  "StandardViewSettings arrangeBy is 'name', expected 'kind'",
                  "StandardViewSettings iconSize is 64.0, expected 44.0",
                  "AppleShowAllExtensions is true (extensions shown), expected false (extensions "
                  "hidden)"}));
}

}  // namespace
}  // namespace lumifold::testing
