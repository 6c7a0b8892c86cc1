#include <gtest/gtest.h>

#include <filesystem>

#include "core/platform/PosixError.h"
#include "core/platform/PreferencesService.h"
#include "tests/engine/EngineTestSupport.h"

namespace lumifold::testing {
namespace {

// Restore after Apply: drift, values XML cannot hold, and how either stage stops when something
// goes wrong.
using EngineRestoreTest = WritingStagesTest;

// Drift is refused untouched; forced, every byte, bit, flag and pushed value comes back, values
// XML cannot hold (recorded in binary) too, and nothing is written before the Finder quits.
TEST_F(EngineRestoreTest, RestoreRefusesDriftThenForcedGivesBackByteBitFlagAndValue) {
    if (!flagsWork()) GTEST_SKIP() << "this file system keeps no extended attributes";
    makeHome();
    platform::PreferencesService service(home.path());
    const auto domainValue = [&](const char* domain, const std::optional<PlistValue>& value) {
        if (value) {
            service.setValue("AppleShowAllExtensions", value, domain,
                             platform::PreferencesService::User::current,
                             platform::PreferencesService::Host::current);
        }
        return service.copyValue("AppleShowAllExtensions", domain,
                                 platform::PreferencesService::Host::current);
    };
    const auto uid = [](std::int64_t n) {
        return PlistValue::dictionary({{"CF$UID", PlistValue::integer(n)}});
    };
    const PlistValue farDate = PlistValue::date({1e13});  // beyond the year 9999
    domainValue(platform::PreferencesService::kAnyApplication, uid(1));
    domainValue("com.apple.finder", farDate);
    const Fingerprint beforeApply = fingerprint();
    engine->apply(folders, false);
    ASSERT_NE(fingerprint(), beforeApply);
    writeStore("Documents", {viewStyle(".", "clmv")});  // the user changed both since
    domainValue("com.apple.finder", uid(2));
    const Fingerprint drifted = fingerprint(true);
    const auto evaluation = engine->restore(std::nullopt, false).evaluation;
    EXPECT_EQ(std::count_if(evaluation.begin(), evaluation.end(),
                            [](const auto& item) { return item.isModifiedSinceBackup; }),
              2);
    EXPECT_EQ(fingerprint(true), drifted);
    EXPECT_TRUE(finder.log.empty());
    bool untouchedAtQuit = false;
    finder.onQuit = [&] { untouchedAtQuit = fingerprint(true) == drifted; };
    EXPECT_EQ(engine->restore(std::nullopt, true).evaluation, evaluation);
    EXPECT_TRUE(untouchedAtQuit);
    EXPECT_EQ(fingerprint(), beforeApply);
    EXPECT_EQ(domainValue(platform::PreferencesService::kAnyApplication, std::nullopt), uid(1));
    EXPECT_EQ(domainValue("com.apple.finder", std::nullopt), farDate);
    EXPECT_EQ(finder.log, kQuitThenRestart);
}

// A copy window or a damaged copy stops Restore before any write; a failed write stops either
// stage midway. The Finder always runs again.
TEST_F(EngineRestoreTest, EitherStageStopsSafelyAndTheFinderRunsAgain) {
    makeHome();
    const std::string id = engine->apply(folders, false).manifest.id;
    const std::string copy =
        home / (".lumifold/backups/" + id + "/") +
        engine->backupManager().loadManifest(id)->dsStoreBackups[0].backupRelativePath;
    const Bytes copyBytes = platform::readFile(copy);
    struct Case {
        const char* what;
        std::function<void()> prepare;  // what goes wrong
        bool applies;                   // in Apply, else in Restore
        const char* domain;
        int code;
        bool quits;   // the Finder is quit (and started again)
        bool writes;  // files change before the failure
    };
    const Case cases[] = {
        {"a copy window", [&] { finder.transferCount = "1"; }, false, FinderCoordinator::kDomain,
         FinderCoordinator::kActiveTransfers, false, false},
        {"a damaged copy", [&] { platform::writeFileAtomically(copy, asBytes("x")); }, false,
         BackupManager::kDomain, BackupManager::kDamagedCopy, true, false},
        {"a failed write in Restore",
         [&] { finder.onQuit = [&] { breakFolderOf(preferencesPath()); }; }, false,
         BackupManager::kDomain, BackupManager::kUnsafeManifestPath, true, true},
        {"a failed write in Apply",
         [&] {
             writeStore("Documents", {viewStyle(".", "Nlsv")});
             finder.onQuit = [&] { breakFolderOf(preferencesPath()); };
         },
         true, platform::kPosixDomain, ENOTDIR, true, true},
    };
    const std::string preferencesFolder = deletingLastPathComponent(preferencesPath());
    for (const Case& each : cases) {
        SCOPED_TRACE(each.what);
        finder.log.clear();
        each.prepare();
        const Fingerprint before = fingerprint();
        const std::size_t snapshots = engine->backupManager().listSnapshots().snapshots.size();
        EXPECT_LUMIFOLD_ERROR_CODE(
            each.applies ? (void)engine->apply(folders, true) : (void)engine->restore(id, true),
            each.domain, each.code);
        EXPECT_TRUE(each.writes || fingerprint() == before) << "nothing is written";
        EXPECT_EQ(engine->backupManager().listSnapshots().snapshots.size(), snapshots)
            << "an Apply that wrote nothing leaves no snapshot";
        EXPECT_EQ(finder.log, each.quits ? kQuitThenRestart : "");
        EXPECT_TRUE(finder.isRunning());
        finder.transferCount = "0";
        finder.onQuit = nullptr;
        platform::writeFileAtomically(copy, copyBytes);
        if (platform::fileExists(preferencesFolder + ".moved")) {
            platform::removeFile(preferencesFolder);
            std::filesystem::rename(preferencesFolder + ".moved", preferencesFolder);
        }
    }
}

}  // namespace
}  // namespace lumifold::testing
