#include <gtest/gtest.h>

#include <algorithm>

#include "core/platform/PreferencesService.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/LumifoldAssertions.h"

namespace lumifold::testing {
namespace {

class EngineRestoreTest : public EngineTest {
  protected:
    // A home whose Apply rewrites the preferences, two stores (one with unusual permission
    // bits) and hides two extensions.
    EngineRestoreTest() {
        writeUserPreferences();
        platform::setPermissionBits(preferencesPath(), 0600);
        folders = {home.makeFolder("Documents"), home.makeFolder("Pictures")};
        documentsStore = writeStore("Documents", {viewStyle(".", "Nlsv"), blob("a.pdf", "Iloc")});
        platform::setPermissionBits(documentsStore, 0640);
        picturesStore = writeStore("Pictures", {iconView(".", 64.0, "name")});
        home.writeFile("Documents/a.pdf", "pdf");
        home.writeFile("Pictures/b.png", "png");
    }

    std::string documentsStore, picturesStore;
    std::vector<std::string> folders;
};

TEST_F(EngineRestoreTest, NoSnapshotOrAnUnknownOrUnusableIdIsAnEngineError) {
    EXPECT_LUMIFOLD_ERROR(engine->restore(std::nullopt, false), "LumifoldEngine", 404,
                          "No backup manifest found");
    engine->apply(folders, false);
    EXPECT_LUMIFOLD_ERROR(engine->restore("2000-01-01T00-00-00Z", true), "LumifoldEngine", 404,
                          "No backup manifest found");
    // A folder without its manifest, or with a corrupt one, says so rather than "not found".
    home.makeFolder(".lumifold/backups/.2001-01-01T00-00-00Z");
    home.writeFile(".lumifold/backups/2002-01-01T00-00-00Z/manifest.json", "{\"id\":");
    EXPECT_LUMIFOLD_ERROR(engine->restore(".2001-01-01T00-00-00Z", true), "LumifoldEngine", 410,
                          "Snapshot .2001-01-01T00-00-00Z cannot be restored: incomplete: it has "
                          "no manifest");
    EXPECT_LUMIFOLD_ERROR_CODE(engine->restore("2002-01-01T00-00-00Z", true), "LumifoldEngine",
                               410);
    EXPECT_EQ(engine->prune(std::nullopt), std::vector<std::string>{".2001-01-01T00-00-00Z"});
    EXPECT_EQ(engine->backupManager().snapshotProblems().size(), 1u);  // the corrupt one stays
}

// Apply records what it pushed into the preferences service and what was there, so Restore
// puts back each value (removing what was absent) and counts a later change as drift.
TEST_F(EngineRestoreTest, PushedPreferencesGoBackAndAChangeToThemIsDrift) {
    using platform::PreferencesService;
    PreferencesService service(home.path());
    const auto host = PreferencesService::Host::current;
    // Written by another program, in XML: an untouched domain must come back byte for byte.
    const std::string global = *service.domainPath(PreferencesService::kAnyApplication, host);
    home.writeFile(global.substr(home.path().size() + 1),
                   platform::toXmlPropertyList(PlistValue::dictionary(
                       {{"AppleShowAllExtensions", PlistValue::boolean(true)},
                        {"Other", PlistValue::string("kept")}})));
    const Fingerprint before = fingerprint();
    const auto manifest = engine->apply(folders, false).manifest;
    ASSERT_TRUE(manifest.pushedPreferences.has_value());
    ASSERT_EQ(manifest.pushedPreferences->size(), 2u);
    EXPECT_EQ((*manifest.pushedPreferences)[0].originalValue,
              platform::toXmlPropertyList(PlistValue::boolean(true)));
    EXPECT_EQ((*manifest.pushedPreferences)[1].originalValue, std::nullopt);

    service.setValue("AppleShowAllExtensions", PlistValue::boolean(true), "com.apple.finder",
                     PreferencesService::User::current, host);
    const Fingerprint drifted = fingerprint(true);
    const auto evaluation = engine->restore(std::nullopt, false);
    EXPECT_EQ(std::count_if(evaluation.begin(), evaluation.end(),
                            [](const auto& item) { return item.isModifiedSinceBackup; }),
              1);
    EXPECT_EQ(fingerprint(true), drifted);

    engine->restore(std::nullopt, true);
    // The untouched global domain byte for byte; the Finder's, changed since, by value, and as
    // only Apply had made it, it is gone again.
    EXPECT_EQ(fingerprint(), before);
}

TEST_F(EngineRestoreTest, DriftIsRefusedUntouchedThenForcedBackByteBitAndFlag) {
    if (!flagsWork()) GTEST_SKIP() << "this file system keeps no extended attributes";
    const Fingerprint beforeApply = fingerprint();
    engine->apply(folders, false);
    ASSERT_NE(fingerprint(), beforeApply);
    writeStore("Documents", {viewStyle(".", "clmv")});  // the user changed it since
    finder.running = true;
    const Fingerprint drifted = fingerprint(true);

    const auto evaluation = engine->restore(std::nullopt, false);
    const auto documentsItem =
        std::find_if(evaluation.begin(), evaluation.end(),
                     [&](const auto& item) { return item.originalPath == documentsStore; });
    ASSERT_NE(documentsItem, evaluation.end());
    EXPECT_TRUE(documentsItem->isModifiedSinceBackup);
    EXPECT_EQ(fingerprint(true), drifted);
    EXPECT_TRUE(finder.calls.empty());

    // The Finder quits before the first write and starts again after the last.
    const Bytes editedStore = platform::readFile(documentsStore);
    bool untouchedAtQuit = false;
    finder.onQuit = [&] { untouchedAtQuit = platform::readFile(documentsStore) == editedStore; };
    EXPECT_EQ(engine->restore(std::nullopt, true), evaluation);
    EXPECT_TRUE(untouchedAtQuit);
    EXPECT_EQ(restrictedTo(fingerprint(), beforeApply), beforeApply);
    EXPECT_EQ(finder.calls, kQuitThenRestart);
    EXPECT_TRUE(finder.running);
}

TEST_F(EngineRestoreTest,
       WithoutAnIdTheLatestOfTwoSnapshotsInOneSecondIsRestoredAndAnIdPicksAnother) {
    const Bytes original = platform::readFile(preferencesPath());
    engine->apply(folders, false);
    const Bytes afterFirst = platform::readFile(preferencesPath());
    // The second run finds the preferences changed by hand and puts them right again.
    writeUserPreferences(70.0);
    const Bytes beforeSecond = platform::readFile(preferencesPath());
    const auto second = engine->apply(folders, false).manifest;
    const auto manifests = engine->backupManager().listManifests();
    ASSERT_EQ(manifests.size(), 2u);
    ASSERT_EQ(manifests[0].id, second.id);
    ASSERT_NE(afterFirst, beforeSecond);

    engine->restore(std::nullopt, false);
    EXPECT_EQ(platform::readFile(preferencesPath()), beforeSecond);
    engine->restore(manifests[1].id, true);
    EXPECT_EQ(platform::readFile(preferencesPath()), original);
}

TEST_F(EngineRestoreTest, FailedRestoreStillRelaunchesTheFinder) {
    engine->apply(folders, false);
    finder.running = true;
    finder.onQuit = [&] { breakFolderOf(picturesStore); };
    EXPECT_LUMIFOLD_ERROR_CODE(engine->restore(std::nullopt, true), "POSIX", ENOTDIR);
    EXPECT_EQ(finder.calls, kQuitThenRestart);
    EXPECT_TRUE(finder.running);
}

TEST_F(EngineRestoreTest, ActiveTransfersStopRestoreBeforeAnyFileChanges) {
    engine->apply(folders, false);
    finder.running = true;
    finder.transferWindow = true;
    const Fingerprint applied = fingerprint(true);
    EXPECT_LUMIFOLD_ERROR(engine->restore(std::nullopt, false), FinderCoordinator::kErrorDomain,
                          FinderCoordinator::kActiveTransfersErrorCode,
                          FinderCoordinator::kActiveTransfersMessage);
    EXPECT_EQ(fingerprint(true), applied);
    EXPECT_TRUE(finder.running);
}

}  // namespace
}  // namespace lumifold::testing
