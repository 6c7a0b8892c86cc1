#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "core/finder/FinderCoordinator.h"
#include "core/platform/FileLock.h"
#include "core/platform/Uuid.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/LumifoldAssertions.h"

namespace lumifold::testing {
namespace {

class EngineApplyTest : public EngineTest {
  protected:
    static bool hasEntry(const std::vector<DSStoreEntry>& entries, const DSStoreEntry& wanted) {
        return std::find(entries.begin(), entries.end(), wanted) != entries.end();
    }
};

TEST_F(EngineApplyTest, RealisticHomeEndsFullyCompliantAndKeepsForeignRecords) {
    if (!flagsWork()) GTEST_SKIP() << "this file system keeps no extended attributes";
    writeUserPreferences(80.0);
    makeDefaultFolders();
    const DSStoreEntry homeLocation = blob("Other", "Iloc", 16, std::byte{0x01});
    const DSStoreEntry desktopLocation = blob("Desktop", "Iloc", 16, std::byte{0x02});
    const DSStoreEntry window = blob(".", "bwsp", 40, std::byte{0x03});
    const DSStoreEntry reportLocation = blob("report.pdf", "Iloc", 16, std::byte{0x04});
    const DSStoreEntry note = comment("notes.txt", "keep this comment");
    const std::string homeStore =
        writeStore("", {window, desktopLocation, viewStyle("Documents", "Nlsv"),
                        listView("Documents", "lsvC"), homeLocation});
    const std::string documentsStore =
        writeStore("Documents", {viewStyle(".", "Nlsv"), listView("."), reportLocation, note});
    const std::string downloadsStore = writeStore("Downloads", {iconView(".", 44.0, "kind")});
    const Bytes downloadsBytes = platform::readFile(downloadsStore);
    const auto downloadsTime = platform::modificationTimeNanoseconds(downloadsStore);
    const std::string report = home.writeFile("Documents/report.pdf", "pdf");
    const std::string notes = home.writeFile("Documents/notes.txt", "txt");
    platform::setHasHiddenExtension(home.writeFile("Desktop/photo.jpg", "jpg"), true);
    // What killed runs left: our own temporary names go, anything else stays.
    const std::string leftover =
        home.writeFile("Documents/..DS_Store.tmp." + platform::makeUuidString(), "x");
    const std::string preferencesLeftover = home.writeFile(
        "Library/Preferences/.com.apple.finder.plist.tmp." + platform::makeUuidString(), "x");
    const std::string foreign = home.writeFile("Documents/..DS_Store.tmp.mine", "x");

    const ApplyResult result = engine->apply(std::nullopt, true);
    EXPECT_FALSE(platform::fileExists(leftover));
    EXPECT_FALSE(platform::fileExists(preferencesLeftover));
    EXPECT_TRUE(platform::fileExists(foreign));
    EXPECT_EQ(result.extensionsHidden, 2u);

    EXPECT_TRUE(result.verification.isFullyCompliant());
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_TRUE(engine->verify().isFullyCompliant());
    EXPECT_TRUE(hiddenExtension(report));
    EXPECT_TRUE(hiddenExtension(notes));

    // The snapshot: both rewritten stores, the two visible files as they were, post checksums;
    // the manifest on disk says what the result and its summary say.
    const BackupManifest manifest = *engine->backupManager().loadManifest(result.manifest.id);
    EXPECT_EQ(static_cast<const ManifestHeader&>(manifest), result.manifest);
    EXPECT_EQ(result.snapshot, SnapshotSummary::of(manifest, manifest.appliedChanges.size(),
                                                   manifest.fileExtensionBackups.size()));
    ASSERT_EQ(manifest.dsStoreBackups.size(), 2u);
    EXPECT_EQ(manifest.dsStoreBackups[0].originalPath, homeStore);
    EXPECT_EQ(manifest.dsStoreBackups[1].originalPath, documentsStore);
    EXPECT_EQ(manifest.fileExtensionBackups,
              (std::vector<FileExtensionBackupItem>{{notes, false}, {report, false}}));
    EXPECT_EQ(manifest.finderPlistPostSHA256,
              platform::sha256Hex(platform::readFile(preferencesPath())));
    EXPECT_FALSE(manifest.appliedChanges.empty());

    // Foreign records survive byte for byte; the targets get fresh records.
    const auto homeEntries = readStore(homeStore);
    for (const auto& kept : {window, desktopLocation, homeLocation}) {
        EXPECT_TRUE(hasEntry(homeEntries, kept)) << kept.code << " of " << kept.filename;
    }
    EXPECT_TRUE(hasEntry(homeEntries, viewStyle("Documents", "icnv")));
    const auto documentsEntries = readStore(documentsStore);
    EXPECT_TRUE(hasEntry(documentsEntries, reportLocation));
    EXPECT_TRUE(hasEntry(documentsEntries, note));
    EXPECT_EQ(documentsEntries.size(), 4u);  // the two kept, fresh vstl and icvp

    // A store that needed nothing is neither snapshotted nor rewritten.
    EXPECT_EQ(platform::readFile(downloadsStore), downloadsBytes);
    EXPECT_EQ(platform::modificationTimeNanoseconds(downloadsStore), downloadsTime);

    // The user's grid spacing and unrelated keys stay.
    FinderPreferencesManager preferences(preferencesPath(), home.path());
    EXPECT_EQ(preferences.currentPreferences(), FinderLayoutPreferences::preferred(80.0));
    EXPECT_TRUE(preferences.loadPreferencesDictionary()->contains("ShowPathbar"));
}

TEST_F(EngineApplyTest, NothingToChangeStillSnapshotsThePreferencesFile) {
    writePreferences(FinderLayoutPreferences::preferred(54.0));
    makeDefaultFolders();
    ASSERT_TRUE(engine->preview().plistChanges.empty());

    const ApplyResult result = engine->apply(std::nullopt, true);
    EXPECT_TRUE(result.manifest.dsStoreBackups.empty());
    EXPECT_EQ(result.snapshot.extensionCount, 0u);
    EXPECT_EQ(result.snapshot.changeCount, 0u);
    EXPECT_TRUE(platform::isRegularFile(result.manifest.finderPlistBackupPath));
    EXPECT_TRUE(result.manifest.finderPlistPostSHA256.has_value());
    EXPECT_TRUE(result.verification.isFullyCompliant());
    EXPECT_EQ(engine->backupManager().listManifests().size(), 1u);
}

TEST_F(EngineApplyTest, FinderIsLeftAloneWhenNotRunningOrWithoutRelaunchAndARerunChangesNothing) {
    const std::string documents = home.makeFolder("Documents");
    writeStore("Documents", {viewStyle(".", "Nlsv")});
    EXPECT_EQ(
        engine->apply(std::vector<std::string>{documents}, true).manifest.dsStoreBackups.size(),
        1u);
    EXPECT_FALSE(finder.running);
    finder.running = true;
    const auto second = engine->apply(std::vector<std::string>{documents}, false).manifest;
    EXPECT_TRUE(second.dsStoreBackups.empty()) << "the second run found nothing to rewrite";
    EXPECT_TRUE(finder.calls.empty());
}

TEST_F(EngineApplyTest, RunningFinderIsQuitBeforeWritingAndStartedAfter) {
    writeUserPreferences();
    const std::string documents = home.makeFolder("Documents");
    const std::string store = writeStore("Documents", {viewStyle(".", "Nlsv")});
    const Bytes storeBefore = platform::readFile(store);
    const Bytes preferencesBefore = platform::readFile(preferencesPath());
    finder.running = true;
    bool untouchedAtQuit = false;
    finder.onQuit = [&] {
        untouchedAtQuit = platform::readFile(store) == storeBefore &&
                          platform::readFile(preferencesPath()) == preferencesBefore &&
                          engine->backupManager().listManifests().size() == 1;
    };

    engine->apply(std::vector<std::string>{documents}, true);
    EXPECT_TRUE(untouchedAtQuit) << "the snapshot comes before the quit, the writes after it";
    EXPECT_EQ(finder.calls, kQuitThenRestart);
    EXPECT_TRUE(finder.running);
    EXPECT_NE(platform::readFile(store), storeBefore);
}

TEST_F(EngineApplyTest, CopyWindowStopsApplyAfterTheSnapshotWithNothingWritten) {
    writeUserPreferences();
    const std::string documents = home.makeFolder("Documents");
    writeStore("Documents", {viewStyle(".", "Nlsv")});
    home.writeFile("Documents/report.pdf", "pdf");
    finder.running = true;
    finder.transferWindow = true;
    const Fingerprint before = fingerprint();

    EXPECT_LUMIFOLD_ERROR(
        engine->apply(std::vector<std::string>{documents}, true), FinderCoordinator::kErrorDomain,
        FinderCoordinator::kActiveTransfersErrorCode, FinderCoordinator::kActiveTransfersMessage);
    EXPECT_EQ(fingerprint(), before);
    const auto manifests = engine->backupManager().listManifests();
    ASSERT_EQ(manifests.size(), 1u);
    EXPECT_FALSE(manifests[0].finderPlistPostSHA256.has_value());
    EXPECT_TRUE(finder.calls.empty());
    EXPECT_TRUE(finder.running);
}

// A failed write still relaunches the Finder.
TEST_F(EngineApplyTest, SecondOfThreeStoresFailingLeavesTheFirstWrittenAndTheThirdAlone) {
    std::vector<std::string> folders, stores;
    for (const char* name : {"A", "B", "C"}) {
        folders.push_back(home.makeFolder(name));
        stores.push_back(writeStore(name, {viewStyle(".", "Nlsv"), blob(".", "Iloc")}));
    }
    const Bytes third = platform::readFile(stores[2]);
    const auto thirdTime = platform::modificationTimeNanoseconds(stores[2]);
    finder.running = true;
    finder.onQuit = [&] { breakFolderOf(stores[1]); };

    EXPECT_LUMIFOLD_ERROR_CODE(engine->apply(folders, true), "POSIX", ENOTDIR);
    EXPECT_TRUE(hasEntry(readStore(stores[0]), viewStyle(".", "icnv")));
    EXPECT_EQ(platform::readFile(stores[2]), third);
    EXPECT_EQ(platform::modificationTimeNanoseconds(stores[2]), thirdTime);
    EXPECT_EQ(finder.calls, kQuitThenRestart);
    EXPECT_TRUE(finder.running);
}

TEST_F(EngineApplyTest, RecordTheWriterCannotPlaceFailsBeforeAnySnapshot) {
    // A store written elsewhere: one 8 KiB leaf holding a record larger than a writer's node.
    writeUserPreferences();
    const std::string documents = home.makeFolder("Documents");
    const std::string downloads = home.makeFolder("Downloads");
    writeStore("Downloads", {viewStyle(".", "clmv")});
    Bytes leaf = nodeHeader(0, 2);
    appendLongRecord(leaf, ".", "Iloc", 5000, "blob");
    leaf.insert(leaf.end(), 5000, std::byte{0x42});
    appendLongRecord(leaf, ".", "vstl", 0x4E6C7376, "type");  // "Nlsv"
    RawStore raw;
    const std::uint32_t leafBlock = raw.addBlock(leaf, 13);
    raw.addDirectoryEntry("DSDB", raw.addBlock(treeHeader(leafBlock), 5));
    const Bytes image = raw.build();
    ASSERT_EQ(DSStoreReader().parseEntries(image).size(), 2u);
    home.writeFile("Documents/.DS_Store", image);
    const Fingerprint before = fingerprint(true);

    EXPECT_LUMIFOLD_ERROR_CODE(engine->apply(std::vector<std::string>{downloads, documents}, true),
                               DSStoreWriter::kDomain, DSStoreWriter::kRecordTooLarge);
    EXPECT_EQ(fingerprint(true), before) << "no snapshot, no write";
    EXPECT_FALSE(platform::fileExists(home / ".lumifold/backups"));
}

TEST_F(EngineApplyTest, UndecodableStoreIsNamedAndNotTouchedWhileOthersAreRewritten) {
    const std::string broken = home.makeFolder("Broken"), fine = home.makeFolder("Fine");
    const std::string brokenStore = writeUndecodableStore("Broken");
    const Bytes image = platform::readFile(brokenStore);
    ASSERT_FALSE(DSStoreReader().parse(image).isComplete());
    const std::string fineStore = writeStore("Fine", {viewStyle(".", "Nlsv")});

    const ApplyResult result = engine->apply(std::vector<std::string>{broken, fine}, true);
    EXPECT_EQ(platform::readFile(brokenStore), image);
    ASSERT_EQ(result.manifest.dsStoreBackups.size(), 1u);
    EXPECT_EQ(result.manifest.dsStoreBackups[0].originalPath, fineStore);
    EXPECT_EQ(result.warnings,
              std::vector<std::string>{"Skipped " + brokenStore +
                                       ": it holds records that cannot be decoded, so it is left "
                                       "unchanged."});
}

TEST_F(EngineApplyTest, GivenPreferencesPathAndBackupDirectoryAreTheOnesUsed) {
    writeUserPreferences();
    const std::string elsewhere = home.makeFolder("Elsewhere");
    const std::string preferences = elsewhere + "/finder.plist";
    platform::copyFile(preferencesPath(), preferences);
    const Bytes usersFile = platform::readFile(preferencesPath());
    EngineOptions options;
    options.homeDirectory = home.path();
    options.preferencesPath = preferences;
    options.backupDirectory = elsewhere + "/snapshots";
    options.finderHost = finder.host();
    options.clock = [this] { return snapshotTime; };
    LumifoldEngine custom(std::move(options));

    EXPECT_EQ(custom.preview(std::vector<std::string>{}).plistChanges[0].target, "finder.plist");
    const auto manifest = custom.apply(std::vector<std::string>{}, false).manifest;
    EXPECT_EQ(manifest.finderPlistOriginalPath, preferences);
    EXPECT_TRUE(
        platform::isRegularFile(elsewhere + "/snapshots/" + manifest.id + "/manifest.json"));
    // Only the home's lock lives there.
    EXPECT_EQ(platform::listDirectory(home / ".lumifold", true), std::vector<std::string>{"lock"});
    EXPECT_EQ(platform::readFile(preferencesPath()), usersFile);
    EXPECT_TRUE(custom.verify(std::vector<std::string>{}).finderDefaultsValid);
}

// What another program writes between planning and writing is neither lost nor rolled back.
TEST_F(EngineApplyTest, AFileAnotherProgramChangesDuringApplyIsLeftAsItWroteIt) {
    writeUserPreferences();
    const std::vector<std::string> folders{home.makeFolder("Documents")};
    const std::string store = writeStore("Documents", {viewStyle(".", "Nlsv")});
    finder.running = true;
    Bytes theirStore, theirPreferences;
    finder.onQuit = [&] {  // after the snapshot, before the first write
        theirStore = platform::readFile(writeStore("Documents", {comment("a.txt", "theirs")}));
        theirPreferences = platform::readFile(writeUserPreferences(99.0));
    };

    const ApplyResult result = engine->apply(folders, true);
    EXPECT_EQ(platform::readFile(store), theirStore);
    EXPECT_EQ(platform::readFile(preferencesPath()), theirPreferences);
    const auto names = [&](const std::string& path) {
        return std::count_if(result.warnings.begin(), result.warnings.end(),
                             [&](const auto& w) { return w.find(path) != std::string::npos; });
    };
    EXPECT_EQ(names(store), 1);
    EXPECT_EQ(names(preferencesPath()), 1);
    const ManifestHeader& manifest = result.manifest;
    ASSERT_EQ(manifest.dsStoreBackups.size(), 1u);
    EXPECT_TRUE(manifest.dsStoreBackups[0].notWritten);
    EXPECT_EQ(manifest.dsStoreBackups[0].postModificationSHA256, platform::sha256Hex(theirStore));
    EXPECT_TRUE(manifest.finderPlistNotWritten);

    // Restore passes both by, even forced; the next Apply plans them afresh.
    engine->restore(std::nullopt, true);
    EXPECT_EQ(platform::readFile(store), theirStore);
    EXPECT_EQ(platform::readFile(preferencesPath()), theirPreferences);
    EXPECT_FALSE(engine->preview(folders).plistChanges.empty());
}

TEST_F(EngineApplyTest, AnotherProcessHoldingTheLockStopsWritingButNotReading) {
    double now = 0;
    const auto waiting = makeEngine(home.path(), [&](EngineOptions& options) {
        options.monotonicSeconds = [&] { return now; };
        options.sleep = [&](double seconds) { now += seconds; };
    });
    const std::vector<std::string> folders{home.makeFolder("Documents")};
    engine->apply(folders, false);
    writeStore("Documents", {viewStyle(".", "Nlsv")});
    home.makeFolder(".lumifold");
    auto held = platform::FileLock::tryAcquire(home / ".lumifold/lock");
    ASSERT_TRUE(held.has_value());
    const Fingerprint before = fingerprint(true);

    const std::vector<std::function<void()>> writers{[&] { waiting->apply(folders, false); },
                                                     [&] { waiting->restore(std::nullopt, true); },
                                                     [&] { waiting->prune(0); }};
    for (const auto& write : writers) {
        now = 0;
        EXPECT_LUMIFOLD_ERROR(write(), LumifoldEngine::kDomain, LumifoldEngine::kLocked,
                              "Another Lumifold process is applying or restoring in this home; "
                              "try again when it has finished");
        EXPECT_GE(now, LumifoldEngine::kLockTimeout);
        EXPECT_LT(now, LumifoldEngine::kLockTimeout + 1);
    }
    EXPECT_EQ(fingerprint(true), before);
    EXPECT_EQ(waiting->preview(folders).targetDSStorePaths.size(), 1u);
    EXPECT_FALSE(waiting->verify(folders).isFullyCompliant());
    held.reset();
    EXPECT_EQ(waiting->apply(folders, false).manifest.dsStoreBackups.size(), 1u);
}

TEST_F(EngineApplyTest, FailedPushesAreReportedAndNeverCountAsDrift) {
    writeUserPreferences();
    home.writeFile("Library/Preferences/ByHost", "a file where the folder belongs");
    const ApplyResult result = engine->apply(std::vector<std::string>{}, false);
    ASSERT_EQ(result.warnings.size(), 2u);
    EXPECT_EQ(result.warnings[0].rfind("Could not set AppleShowAllExtensions in the ", 0), 0u);
    ASSERT_TRUE(result.manifest.pushedPreferences.has_value());
    for (const auto& pushed : *result.manifest.pushedPreferences) {
        EXPECT_FALSE(pushed.pushedValue.has_value()) << pushed.domain;
    }
    EXPECT_FALSE(engine->backupManager()
                     .evaluateRestore(*engine->backupManager().loadManifest(result.manifest.id))
                     .hasModifications());
}

TEST_F(EngineApplyTest, ProgressNamesEachStepAndEndsEachCountedOneAtItsTotal) {
    std::vector<std::string> steps;
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> last;
    const auto watched = makeEngine(home.path(), [&](EngineOptions& options) {
        options.progress = [&](const Progress& progress) {
            const std::string step =
                std::string(progress.stage) + ": " + std::string(progress.step);
            if (steps.empty() || steps.back() != step) steps.push_back(step);
            if (progress.total) last[step] = {progress.done, *progress.total};
        };
    });
    const std::vector<std::string> folders{home.makeFolder("Documents")};
    writeStore("Documents", {viewStyle(".", "Nlsv")});
    for (int i = 0; i < 600; ++i) home.writeFile("Documents/" + std::to_string(i) + ".txt", "");
    watched->apply(folders, false);
    EXPECT_EQ(steps,
              (std::vector<std::string>{"Preview: Reading stores", "Preview: Listing files",
                                        "Apply: Taking the snapshot", "Apply: Writing preferences",
                                        "Apply: Writing stores", "Apply: Hiding extensions",
                                        "Apply: Recording checksums", "Verify: Checking folders"}));
    EXPECT_EQ(last["Apply: Hiding extensions"],
              (std::pair<std::uint64_t, std::uint64_t>{600, 600}));
    EXPECT_EQ(last["Verify: Checking folders"], (std::pair<std::uint64_t, std::uint64_t>{1, 1}));
}

}  // namespace
}  // namespace lumifold::testing
