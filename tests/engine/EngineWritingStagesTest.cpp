#include <gtest/gtest.h>
#include <unistd.h>

#include "core/platform/FileLock.h"
#include "core/platform/PreferencesService.h"
#include "core/platform/Sha256.h"
#include "core/platform/Uuid.h"
#include "tests/engine/EngineTestSupport.h"

namespace lumifold::testing {
namespace {

// Apply (and the Restore of what it wrote), and what keeps them from losing anything.
using EngineWritingStagesTest = WritingStagesTest;

TEST_F(EngineWritingStagesTest, ApplyEndsCompliantKeepsForeignRecordsAndSnapshotsFirst) {
    if (!flagsWork()) GTEST_SKIP() << "this file system keeps no extended attributes";
    writeUserPreferences(80.0);
    home.makeDefaultFolders();
    const std::vector<DSStoreEntry> foreign = {blob(".", "bwsp", 1), blob("Desktop", "Iloc", 2),
                                               blob("report.pdf", "Iloc", 3),
                                               blob("notes.txt", "cmmt", 4)};
    const std::string homeStore = writeStore(
        "", {foreign[0], foreign[1], viewStyle("Documents", "Nlsv"), blob("Documents", "lsvC")});
    const std::string documents = writeStore(
        "Documents", {viewStyle(".", "Nlsv"), blob(".", "lsvp"), foreign[2], foreign[3]});
    writeStore("Downloads", {iconView(".", 44.0, "kind")});  // already as wanted
    const std::string report = home.writeFile("Documents/report.pdf", "pdf");
    const std::string notes = home.writeFile("Documents/notes.txt", "txt");
    platform::setHasHiddenExtension(home.writeFile("Desktop/photo.jpg", "jpg"), true);
    // What killed runs left: our own temporary names go, anything else stays.
    const std::string ours =
        home.writeFile("Documents/..DS_Store.tmp." + platform::makeUuidString(), "");
    const std::string theirs = home.writeFile("Documents/..DS_Store.tmp.mine", "");
    // A copy window stops Apply after its snapshot, which goes again; otherwise the writes
    // follow the quit.
    Fingerprint before = fingerprint();
    before.erase(ours);
    finder.transferCount = "1";
    EXPECT_LUMIFOLD_ERROR_CODE(engine->apply(std::nullopt, true), FinderCoordinator::kDomain,
                               FinderCoordinator::kActiveTransfers);
    EXPECT_TRUE(fingerprint() == before && finder.log.empty());
    finder.transferCount = "0";
    bool untouchedAtQuit = false;
    finder.onQuit = [&] {
        untouchedAtQuit = fingerprint() == before &&
                          engine->backupManager().listSnapshots().snapshots.size() == 1;
    };

    const ApplyResult result = engine->apply(std::nullopt, true);
    EXPECT_TRUE(untouchedAtQuit);
    EXPECT_EQ(finder.log, kQuitThenRestart);
    EXPECT_FALSE(platform::fileExists(ours));
    EXPECT_TRUE(platform::fileExists(theirs));
    EXPECT_TRUE(result.verification.isFullyCompliant() && result.warnings.empty());
    EXPECT_EQ(result.extensionsHidden, 2u);
    EXPECT_TRUE(hiddenExtension(report) && hiddenExtension(notes));
    // Only changed stores are snapshotted and rewritten; foreign records survive byte for byte.
    ASSERT_EQ(result.manifest.dsStoreBackups.size(), 2u);
    EXPECT_EQ(result.manifest.dsStoreBackups[0].originalPath, homeStore);
    EXPECT_EQ(result.manifest.dsStoreBackups[1].originalPath, documents);
    for (std::size_t i = 0; i < foreign.size(); ++i) {
        EXPECT_TRUE(holds(i < 2 ? homeStore : documents, foreign[i])) << i;
    }
    EXPECT_TRUE(holds(homeStore, viewStyle("Documents", "icnv")));
    EXPECT_FALSE(holds(documents, blob(".", "lsvp")));
}

// A whole tree: every store down to the depth is fixed once, whatever else it holds is kept,
// deeper ones are left alone, and a restore gives back every byte.
TEST_F(EngineWritingStagesTest, ATreeIsFixedToItsDepthAndRestoredByteForByte) {
    if (!flagsWork()) GTEST_SKIP() << "this file system keeps no extended attributes";
    writeUserPreferences();
    const std::string levels[] = {"Documents/P", "Documents/P/a", "Documents/P/a/b",
                                  "Documents/P/a/b/c"};
    std::vector<std::string> stores;
    for (std::size_t i = 0; i < std::size(levels); ++i) {
        const std::string child =
            i + 1 < std::size(levels) ? lastPathComponent(levels[i + 1]) : "z";
        stores.push_back(writeStore(levels[i], {viewStyle(".", "Nlsv"), blob(child, "cmmt", 'c'),
                                                viewStyle(child, "clmv")}));
        home.writeFile(levels[i] + "/f.pdf", "pdf");
        home.writeFile(levels[i] + "/g.txt", "txt");  // two a folder, each restored
    }
    home.makeFolder("Library/Preferences/ByHost");  // Apply would make it, Restore keep it
    const Fingerprint before = fingerprint();
    const auto tree = engine->expandTrees(std::vector{home / "Documents/P"}, {2, {}});
    ASSERT_EQ(tree.size(), 3u);
    const ApplyResult result = engine->apply(tree, false);
    EXPECT_TRUE(result.verification.isFullyCompliant());
    EXPECT_EQ(result.extensionsHidden, 6u);
    // The home's store did not exist; each of the tree's stores is copied once.
    EXPECT_EQ(result.manifest.dsStoreBackups.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(
            holds(stores[i], viewStyle(".", "icnv")) &&
            holds(stores[i], blob(i < 2 ? lastPathComponent(levels[i + 1]) : "c", "cmmt", 'c')))
            << stores[i];
        EXPECT_TRUE(hiddenExtension(home / (levels[i] + "/f.pdf")) &&
                    hiddenExtension(home / (levels[i] + "/g.txt")));
    }
    // A folder's record in its parent's store goes with the folder: in the tree or not.
    EXPECT_TRUE(holds(stores[1], viewStyle("b", "icnv")) &&
                holds(stores[2], viewStyle("c", "clmv")));
    EXPECT_EQ(fingerprint()[stores[3]], before.at(stores[3]));
    EXPECT_FALSE(hiddenExtension(home / "Documents/P/a/b/c/f.pdf"));
    engine->restore(std::nullopt, true);
    EXPECT_EQ(fingerprint(), before);
}

// More stores than the process may hold open at once, each in its own folder: Apply writes
// them all, a batch at a time.
TEST_F(EngineWritingStagesTest, StoresInMoreFoldersThanOpenFilesAllowAreAllWritten) {
    writeUserPreferences();
    std::vector<std::string> stores;
    for (int i = 0; i < 300; ++i) {
        stores.push_back(writeStore("Documents/P/" + std::to_string(i), {viewStyle(".", "Nlsv")}));
    }
    const auto tree = engine->expandTrees(std::vector{home / "Documents/P"}, {1, {}});
    const ApplyResult result = [&] {
        const FewDescriptors few(300);
        return engine->apply(tree, false);
    }();
    EXPECT_TRUE(result.verification.isFullyCompliant());
    for (const std::string& store : stores) EXPECT_TRUE(holds(store, viewStyle(".", "icnv")));
}

// A folder of the tree swapped for a link, or for another folder, between the snapshot and the
// writes (while the Finder quits): Apply leaves it alone and says so, Restore refuses, and the
// folder the link leads to never changes.
TEST_F(EngineWritingStagesTest, AFolderSwappedWhileApplyOrRestoreRunsIsNeverWrittenThrough) {
    if (!flagsWork()) GTEST_SKIP() << "this file system keeps no extended attributes";
    writeUserPreferences();
    const TempHome victim;
    victim.writeFile(".DS_Store", writer.encode({viewStyle(".", "Nlsv")}));
    victim.writeFile("f.pdf", "victim's");
    const auto victimState = [&] {
        return platform::sha256Hex(platform::readFile(victim / ".DS_Store")) +
               std::to_string(hiddenExtension(victim / "f.pdf"));
    };
    const std::string before = victimState();
    const std::string folder = home / "Documents/P/a";
    const auto swapForLink = [&] {
        std::filesystem::rename(folder, folder + ".moved");
        home.link(victim.path(), "Documents/P/a");
    };
    const auto swapForFolder = [&] {
        std::filesystem::rename(folder, folder + ".moved");
        home.makeFolder("Documents/P/a");
    };
    struct Case {
        const char* what;
        bool applies;
        std::function<void()> swap;
        int code;  // 0: Apply goes on without the folder
    };
    for (const Case& each :
         {Case{"Apply, a link", true, swapForLink, 0},
          Case{"Restore, a link", false, swapForLink, BackupManager::kUnsafeManifestPath},
          Case{"Restore, another folder", false, swapForFolder, BackupManager::kFolderReplaced}}) {
        SCOPED_TRACE(each.what);
        if (platform::entryType(home / "Documents")) platform::removeTree(home / "Documents");
        for (const char* level : {"Documents/P", "Documents/P/a"}) {
            writeStore(level, {viewStyle(".", "Nlsv")});
            home.writeFile(std::string(level) + "/f.pdf", "pdf");
        }
        const auto tree = engine->expandTrees(std::vector{home / "Documents/P"}, {});
        if (!each.applies) engine->apply(tree, false);
        finder.onQuit = each.swap;
        if (each.applies) {
            const ApplyResult result = engine->apply(tree, true);
            EXPECT_EQ(mentions(result.warnings, folder + "/.DS_Store\" was left as it is"), 1);
            EXPECT_TRUE(result.manifest.dsStoreBackups.at(1).notWritten);
            EXPECT_TRUE(holds(home / "Documents/P/.DS_Store", viewStyle(".", "icnv")));
        } else {
            EXPECT_LUMIFOLD_ERROR_CODE(engine->restore(std::nullopt, true), BackupManager::kDomain,
                                       each.code);
        }
        finder.onQuit = nullptr;
        EXPECT_EQ(victimState(), before);
    }
}

// An Apply with nothing to change writes nothing, quits no Finder and takes no snapshot, so a
// restore after it undoes the Apply that changed something. Restore names no snapshot that is
// not there.
TEST_F(EngineWritingStagesTest, AnApplyWithNothingToChangeTakesNoSnapshot) {
    makeHome();
    home.makeFolder("Library/Preferences/ByHost");  // Apply would make it, Restore keep it
    EXPECT_LUMIFOLD_ERROR(engine->restore(std::nullopt, false), LumifoldEngine::kDomain,
                          LumifoldEngine::kNoBackupManifest, "No backup manifest found");
    const Fingerprint before = fingerprint();
    const std::string id = engine->apply(folders, false).manifest.id;
    const Fingerprint applied = fingerprint(true);
    const ApplyResult again = engine->apply(folders, true);
    EXPECT_TRUE(again.alreadyConsistent);
    EXPECT_EQ(fingerprint(true), applied);
    EXPECT_EQ(finder.log, "");
    EXPECT_EQ(engine->restore(std::nullopt, false).snapshotId, id);
    EXPECT_EQ(fingerprint(), before);
    EXPECT_LUMIFOLD_ERROR_CODE(engine->restore("2000-01-01T00-00-00Z", true),
                               LumifoldEngine::kDomain, LumifoldEngine::kNoBackupManifest);
}

// What another program writes between planning and writing is neither lost nor rolled back.
TEST_F(EngineWritingStagesTest, AFileAnotherProgramChangesDuringApplyIsLeftAsItWroteIt) {
    makeHome();
    Bytes theirStore, theirPreferences;
    finder.onQuit = [&] {  // after the snapshot, before the first write
        theirStore = platform::readFile(writeStore("Documents", {blob("a.txt", "Iloc")}));
        theirPreferences = platform::readFile(writeUserPreferences(99.0));
    };
    const ApplyResult result = engine->apply(folders, true);
    for (const auto& [path, theirs] :
         {std::pair{documentsStore, theirStore}, std::pair{preferencesPath(), theirPreferences}}) {
        EXPECT_EQ(platform::readFile(path), theirs);
        EXPECT_EQ(mentions(result.warnings, path), 1);
    }
    EXPECT_TRUE(result.manifest.dsStoreBackups[0].notWritten &&
                result.manifest.finderPlistNotWritten);
    // Restore passes both by, even forced; the next Apply plans them afresh.
    engine->restore(std::nullopt, true);
    EXPECT_EQ(platform::readFile(documentsStore), theirStore);
    EXPECT_EQ(platform::readFile(preferencesPath()), theirPreferences);
    EXPECT_FALSE(engine->preview(folders).plistChanges.empty());
}

// Another process holding the lock stops writing, not reading. After a second, a waiter says
// once whom it waits for: the stage and process an engine holding it wrote, or no one when the
// lock file says nothing in that form.
TEST_F(EngineWritingStagesTest, AnotherProcessHoldingTheLockStopsWritingButNotReading) {
    makeHome();
    double now = 0;
    std::vector<std::string> told;
    const auto waiting = makeEngine(home.path(), [&](EngineOptions& options) {
        options.monotonicSeconds = [&] { return now; };
        options.sleep = [&](double seconds) { now += seconds; };
        options.waitingForLock = [&](const std::string& message) {
            told.push_back((now < LumifoldEngine::kLockNoticeDelay ? "early: " : "") + message);
        };
    });
    home.makeFolder(".lumifold");
    auto held = platform::FileLock::tryAcquire(home / ".lumifold/lock");
    held->describe("apply 12; and more");
    const Fingerprint before = fingerprint(true);
    const std::function<void()> writers[] = {[&] { waiting->apply(folders, false); },
                                             [&] { waiting->restore(std::nullopt, true); },
                                             [&] { waiting->prune(0); }};
    for (const auto& write : writers) {
        now = 0;
        EXPECT_LUMIFOLD_ERROR_CODE(write(), LumifoldEngine::kDomain, LumifoldEngine::kLocked);
        EXPECT_TRUE(now >= LumifoldEngine::kLockTimeout && now < LumifoldEngine::kLockTimeout + 1);
    }
    EXPECT_EQ(told,
              std::vector<std::string>(3, "Waiting for another Lumifold process to finish..."));
    EXPECT_EQ(fingerprint(true), before);
    EXPECT_EQ(waiting->preview(folders).targetDSStorePaths.size(), 2u);

    held.reset();
    told.clear();
    finder.onQuit = [&] {  // while this engine applies
        now = 0;
        EXPECT_LUMIFOLD_ERROR_CODE(waiting->prune(0), LumifoldEngine::kDomain,
                                   LumifoldEngine::kLocked);
    };
    engine->apply(folders, true);
    EXPECT_EQ(told, std::vector<std::string>{"Waiting for another Lumifold process (apply, pid " +
                                             std::to_string(::getpid()) + ") to finish..."});
    EXPECT_EQ(platform::FileLock::readDescription(home / ".lumifold/lock"), "");
}

// A write that fails midway (a folder that refuses new files, even to root): Apply puts back
// every file it wrote that still holds its write and clears its flags, keeps the snapshot marked
// failed with what stayed changed, and says so. A snapshot left holding nothing is no restore's
// default, and a restore of it needs no force.
TEST_F(EngineWritingStagesTest, AFailedWritePutsBackWhatApplyWroteAndMarksItsSnapshot) {
    if (!flagsWork()) GTEST_SKIP() << "this file system keeps no extended attributes";
    std::function<void()> meanwhile;  // just before the first store is written
    const auto failing = makeEngine(home.path(), [&](EngineOptions& options) {
        options.progress = [&](const Progress& progress) {
            if (progress.step == "Writing stores" && progress.done == 0 && meanwhile) meanwhile();
        };
    });
    const std::string desktop = home / "Desktop";
    const auto newest = [&] { return failing->backupManager().listSnapshots().snapshots.at(0).id; };
    const struct {
        std::function<std::string()> unwritable;  // made so while the Finder quits
        std::function<void()> meanwhile;
        const char* undone;              // how the error ends, after the snapshot's id
        std::optional<bool> allPutBack;  // nullopt: the snapshot could not be marked
    } cases[] = {
        {[&] { return desktop; }, nullptr, " is kept, marked as failed)", true},
        {[&] { return desktop; }, [&] { writeUserPreferences(99.0); }, " holds what stayed changed",
         false},
        {[&] { return home / (".lumifold/backups/" + newest()); }, nullptr,
         " could not be marked as failed: ", std::nullopt},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.undone);
        std::filesystem::remove_all(home / ".lumifold/backups");
        writeUserPreferences();
        home.makeFolder("Library/Preferences/ByHost");
        writeStore("", {viewStyle("Desktop", "Nlsv")});
        writeStore("Desktop", {viewStyle(".", "Nlsv")});
        platform::setHasHiddenExtension(home.writeFile("Desktop/photo.jpg", "jpg"), false);
        Fingerprint expected = fingerprint();
        std::optional<UnwritableFolder> refusing;
        finder.log.clear();
        finder.onQuit = [&] { refusing.emplace(each.unwritable()); };
        meanwhile = each.meanwhile;
        std::string message;
        try {
            failing->apply(std::vector{desktop}, true);
        } catch (const Error& error) {
            message = error.message();
        }
        if (refusing->failure()) GTEST_SKIP() << *refusing->failure();
        refusing.reset();
        const std::string id = newest();
        EXPECT_TRUE(message.starts_with("Could not ") &&
                    message.find("snapshot " + id + each.undone) != std::string::npos)
            << message;
        EXPECT_EQ(finder.log, kQuitThenRestart);
        if (each.meanwhile) {  // another program's preferences stay, named
            expected[preferencesPath()] = fingerprint()[preferencesPath()];
            EXPECT_NE(message.find("but \"" + preferencesPath() +
                                   "\" (another program changed it since Apply wrote it)"),
                      std::string::npos);
        }
        EXPECT_EQ(fingerprint(), expected);
        const auto failure = failing->backupManager().loadManifest(id)->applyFailed;
        EXPECT_EQ(failure.has_value(), each.allPutBack.has_value());
        if (!each.allPutBack) continue;
        EXPECT_EQ(failure->allPutBack, *each.allPutBack);
        if (*each.allPutBack) {
            EXPECT_LUMIFOLD_ERROR_CODE(failing->restore(std::nullopt, false),
                                       LumifoldEngine::kDomain, LumifoldEngine::kNoBackupManifest);
            EXPECT_TRUE(failing->restore(id, false).restored);
        } else {
            EXPECT_FALSE(failing->restore(std::nullopt, false).restored);  // theirs is drift
        }
    }
    finder.onQuit = nullptr;
}

// Apply plans and then audits what it wrote: `auto` reads the Samba configuration once for both.
TEST_F(EngineWritingStagesTest, AutoChoosesTheStoresOncePerApply) {
    const std::string config = home.writeFile("smb.conf", "[global]\n");
    int runs = 0;
    engine = makeEngine(home.path(), [&](EngineOptions& options) {
        options.metadata.sambaConfigPath = config;
        options.metadata.runProcess = [&](const std::string&, const std::vector<std::string>&) {
            ++runs;
            return platform::ProcessResult{true, 0, "[global]\n", ""};
        };
    });
    home.writeFile("Documents/notes.txt", "n");
    const ApplyResult result = engine->apply(std::vector<std::string>{home / "Documents"}, false);
    EXPECT_FALSE(result.manifest.id.empty());  // it wrote, then audited
    EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace lumifold::testing
