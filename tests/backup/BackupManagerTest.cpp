#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "core/backup/BackupManager.h"
#include "core/common/Iso8601.h"
#include "core/common/Paths.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/PosixError.h"
#include "core/platform/PreferencesService.h"
#include "core/platform/Sha256.h"
#include "core/preferences/FinderPreferenceKeys.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold::testing {
namespace {

using platform::PlistValue;
using platform::PreferencesService;
using platform::readFile;

std::string checksumOf(const std::string& path) { return platform::sha256Hex(readFile(path)); }

std::vector<std::string> idsOf(const std::vector<SnapshotSummary>& snapshots) {
    std::vector<std::string> ids;
    for (const auto& snapshot : snapshots) ids.push_back(snapshot.id);
    return ids;
}

// A snapshot store in the default place of a temporary home, on a clock the test sets.
class BackupTest : public ::testing::Test {
  protected:
    std::string preferencesPath() const { return home / finder_preferences::kRelativePath; }
    // A binary Finder preferences file with a view style and the extension flag.
    std::string writePreferences(bool showAllExtensions,
                                 const std::string& viewStyle = "Nlsv") const {
        return home.writeFile(
            finder_preferences::kRelativePath,
            platform::toBinaryPropertyList(PlistValue::dictionary(
                {{finder_preferences::kViewStyleKey, PlistValue::string(viewStyle)},
                 {finder_preferences::kShowAllExtensionsKey,
                  PlistValue::boolean(showAllExtensions)}})));
    }
    std::string writeStore(const std::string& folder, const std::string& content,
                           unsigned bits = 0644) const {
        const std::string path = home.writeFile(folder + "/.DS_Store", content);
        platform::setPermissionBits(path, bits);
        return path;
    }
    std::string snapshotDirectory(const std::string& id) const {
        return appending(home / ".lumifold/backups", id);
    }
    std::string manifestText(const std::string& id) const {
        return std::string(asText(readFile(snapshotDirectory(id) + "/manifest.json")));
    }
    // The flag in one current-host domain only, so the global domain cannot stand in.
    std::optional<PlistValue> currentHostValue(const std::string& applicationId) const {
        return PreferencesService(home.path())
            .copyValue(finder_preferences::kShowAllExtensionsKey, applicationId,
                       PreferencesService::Host::current);
    }
    // A snapshot taken as Apply takes it: the preferences file and `stores` as they are now.
    struct Taken {
        SnapshotRequest request;
        WrittenSnapshot written;
        BackupManifest manifest;  // as the store reads it back
    };
    Taken take(const std::vector<std::string>& stores, std::vector<SettingChange> changes = {},
               std::vector<FileExtensionBackupItem> flags = {}) {
        BackupManifest& lists = m_lists.emplace_back();
        lists.appliedChanges = std::move(changes);
        lists.fileExtensionBackups = std::move(flags);
        Taken taken;
        taken.request.finderPlistPath = preferencesPath();
        taken.request.lists = ManifestLists::of(lists);
        if (platform::fileExists(preferencesPath())) {
            taken.request.finderPlistBytes = readFile(preferencesPath());
        }
        for (const std::string& store : stores) {
            taken.request.dsStores.push_back({store, readFile(store), std::nullopt});
        }
        taken.written = manager.createSnapshot(taken.request);
        taken.manifest = manager.loadManifest(taken.written.header.id).value();
        return taken;
    }
    // What Apply records once it wrote the files, read back.
    BackupManifest complete(const Taken& taken, const ApplyOutcome& outcome = {}) {
        const std::string id =
            manager.completeSnapshot(taken.request, taken.written, outcome).header.id;
        return manager.loadManifest(id).value();
    }
    // Every entry under the home but the snapshot store and the current-host preference
    // domains (checked on their own).
    TreeState liveState() const {
        return treeState(home.path(), [&](const std::string& path) {
            return path == home / ".lumifold" || path == home / "Library/Preferences/ByHost";
        });
    }

    std::list<BackupManifest> m_lists;  // what each request's lists enumerate
    TempHome home;
    std::chrono::system_clock::time_point now = *parseIso8601("2025-01-31T14:05:09Z");
    BackupManager manager{std::nullopt, BackupManagerHost{.now = [this] { return now; },
                                                          .homeDirectory = home.path(),
                                                          .preferencesPath = {}}};
};

// Exact private copies (equal stores share one), original bits kept for restore; after Apply the
// checksums of the live files, an absent one left out, never null.
TEST_F(BackupTest, SnapshotCopiesEveryFileExactlyAndLaterRecordsTheLiveChecksums) {
    writePreferences(true);
    const std::string desktop = writeStore("Desktop", "same bytes", 0640);
    const std::string music = writeStore("Music", "same bytes", 0666);
    const std::string documents = writeStore("Documents", "documents store", 0604);
    const Taken taken = take({desktop, music, documents});
    const BackupManifest& manifest = taken.manifest;
    EXPECT_EQ(manifest.id, "2025-01-31T14-05-09Z");
    const std::string directory = snapshotDirectory(manifest.id);
    EXPECT_EQ(manifest.finderPlistOriginalSHA256, checksumOf(preferencesPath()));
    EXPECT_EQ(readFile(manifest.finderPlistBackupPath), readFile(preferencesPath()));
    ASSERT_EQ(manifest.dsStoreBackups.size(), 3u);
    const struct {
        const DSStoreBackupItem& item;
        std::string path;
        unsigned bits;
    } stores[] = {{manifest.dsStoreBackups[0], desktop, 0640},
                  {manifest.dsStoreBackups[1], music, 0666},
                  {manifest.dsStoreBackups[2], documents, 0604}};
    for (const auto& [item, path, bits] : stores) {
        EXPECT_EQ(item.originalPath, path);
        EXPECT_EQ(item.originalSHA256, checksumOf(path));
        const std::string copy = appending(directory, item.backupRelativePath);
        EXPECT_EQ(readFile(copy), readFile(path));
        EXPECT_EQ(platform::permissionBits(copy), 0600u);
        EXPECT_EQ(item.posixPermissions, bits);
    }
    EXPECT_EQ(platform::listDirectory(directory + "/files").size(), 2u);
    for (const std::string& folder : {home / ".lumifold", directory, directory + "/files"}) {
        EXPECT_EQ(platform::permissionBits(folder).value() & 0077u, 0u) << folder;
    }

    writePreferences(false, "icnv");
    writeStore("Desktop", "after");
    platform::removeFile(documents);
    const BackupManifest recorded = complete(taken);
    EXPECT_EQ(recorded.finderPlistPostSHA256, checksumOf(preferencesPath()));
    EXPECT_EQ(recorded.dsStoreBackups[0].postModificationSHA256, checksumOf(desktop));
    EXPECT_EQ(recorded.dsStoreBackups[2].postModificationSHA256, std::nullopt);
    EXPECT_EQ(manifestText(manifest.id).find("null"), std::string::npos);
}

// Completing copies the long lists' text from the manifest as first written or, when that file
// is no longer what was written (here one byte longer, so every list moved), writes them again:
// either way the same lists and counts.
TEST_F(BackupTest, ACompletedManifestKeepsItsListsWhetherCopiedOrWrittenAgain) {
    const std::vector<SettingChange> changes = {
        {"Desktop", "a.pdf/hasHiddenExtension", "false (visible)", "true (hidden)",
         "File Extension"},
        {"Desktop", "b \"c\".txt/hasHiddenExtension", "false (visible)", "true (hidden)",
         "File Extension"}};
    const std::vector<FileExtensionBackupItem> flags = {{home / "Desktop/a.pdf", false},
                                                        {home / "Desktop/b \"c\".txt", false}};
    // The manifest as written; its text moved by a byte; its lists changed in place and the
    // file one byte longer (the lists' brackets where they were): only the first is copied.
    for (const int rewritten : {0, 1, 2}) {
        SCOPED_TRACE(rewritten);
        const Taken taken = take({writeStore("Desktop", "before")}, changes, flags);
        const std::string& id = taken.written.header.id;
        std::string text = manifestText(id);
        if (rewritten == 1) text.insert(0, " ");
        for (auto at = text.find("a.pdf"); rewritten == 2 && at != std::string::npos;
             at = text.find("a.pdf", at)) {
            text.replace(at, 5, "x.pdf");
        }
        if (rewritten == 2) text += "\n";
        if (rewritten > 0) {
            platform::writeFileAtomically(snapshotDirectory(id) + "/manifest.json", asBytes(text),
                                          0600);
        }
        const BackupManifest recorded = complete(taken);
        EXPECT_EQ(recorded.appliedChanges, changes);
        EXPECT_EQ(recorded.fileExtensionBackups, flags);
        const SnapshotSummary summary = manager.listSnapshots().snapshots.at(0);
        EXPECT_EQ(summary.id, id);
        EXPECT_EQ(summary.changeCount, changes.size());
        EXPECT_EQ(summary.extensionCount, flags.size());
    }
}

// With no preferences file to checksum (folders only, a share's root), the recorded outcome
// alone says the Apply finished.
TEST_F(BackupTest, ASnapshotWithoutPreferencesIsCompleteOnceItsOutcomeIsRecorded) {
    const Taken taken = take({writeStore("Desktop", "before")});
    EXPECT_FALSE(manager.listSnapshots().snapshots.at(0).complete);
    complete(taken,
             ApplyOutcome{.storesNotWritten = {}, .preferencesNotWritten = true, .pushed = {}});
    EXPECT_TRUE(manager.listSnapshots().snapshots.at(0).complete);
}

// Listing skips what is not a snapshot; loading names only its own folder.
TEST_F(BackupTest, SnapshotsOfOneSecondAreNumberedListedNewestFirstAndLoadedFromTheirFolder) {
    EXPECT_TRUE(manager.listSnapshots().snapshots.empty());  // no store yet
    writePreferences(true);
    const std::string store = writeStore("Desktop", "first");
    const BackupManifest first = take({store}).manifest;
    writePreferences(false);
    writeStore("Desktop", "second");
    const BackupManifest second = take({store}).manifest;
    EXPECT_EQ(second.id, "2025-01-31T14-05-09Z-2");
    // The first snapshot's copies are its own, untouched by the second.
    EXPECT_EQ(checksumOf(first.finderPlistBackupPath), first.finderPlistOriginalSHA256);
    EXPECT_EQ(asText(readFile(appending(snapshotDirectory(first.id),
                                        first.dsStoreBackups[0].backupRelativePath))),
              "first");

    now = *parseIso8601("2025-01-31T10:00:00Z");
    take({});
    home.makeFolder(".lumifold/backups/stray-folder");
    home.writeFile(".lumifold/backups/garbled/manifest.json", "[]");
    // A manifest copied into another folder would restore under a false name.
    home.writeFile(".lumifold/backups/copied/manifest.json", manifestText(first.id));
    EXPECT_EQ(idsOf(manager.listSnapshots().snapshots),
              (std::vector<std::string>{second.id, first.id, "2025-01-31T10-00-00Z"}));
    for (const std::string& name :
         {std::string("copied"), std::string("garbled"), "../backups/" + first.id}) {
        EXPECT_EQ(manager.loadManifest(name), std::nullopt) << name;
    }
}

// A restore that names no snapshot takes the newest that would put something back, and never
// passes silently over a newer one it cannot read.
TEST_F(BackupTest, TheSnapshotToRestoreIsTheNewestHoldingChanges) {
    const std::string store = writeStore("Desktop", "a");
    writePreferences(true);
    const auto snapshot = [&](const std::vector<SettingChange>& changes) {
        now += std::chrono::seconds(1);
        return take({store}, changes);
    };
    const std::vector<SettingChange> change{{"Desktop", "vstl", "Nlsv", "icnv", "Folder"}};
    const std::string holding = snapshot(change).manifest.id;
    // Newer, holding nothing: an Apply that left both files alone, and one (of an earlier
    // version) that changed nothing at all.
    complete(
        snapshot(change),
        ApplyOutcome{.storesNotWritten = {store}, .preferencesNotWritten = true, .pushed = {}});
    snapshot({});
    // Folders without a usable manifest: only one that is older, or has none at all (an Apply
    // killed while snapshotting wrote nothing), is passed over.
    const struct {
        std::string name;      // "": no such folder
        const char* manifest;  // nullptr: none
        bool refused;
    } folders[] = {{"", nullptr, false},
                   {"2025-01-31T14-05-59Z", "[]", true},
                   {"garbled", "{", true},
                   {"2000-01-01T00-00-00Z", "[]", false},
                   {"2025-01-31T14-05-58Z", nullptr, false}};
    for (const auto& [name, manifest, refused] : folders) {
        SCOPED_TRACE(name);
        if (manifest != nullptr)
            home.writeFile(".lumifold/backups/" + name + "/manifest.json", manifest);
        if (manifest == nullptr && !name.empty()) home.makeFolder(".lumifold/backups/" + name);
        std::string chosen;
        try {
            chosen = manager.newestHoldingChanges()->id;
        } catch (const Error& error) {
            chosen = std::to_string(error.code()) + " " + error.message();
        }
        EXPECT_TRUE(refused
                        ? chosen.starts_with(std::to_string(BackupManager::kManifestUnreadable) +
                                             " Snapshot " + name + " may be the newest")
                        : chosen == holding)
            << chosen;
        if (!name.empty()) std::filesystem::remove_all(snapshotDirectory(name));
    }
    std::filesystem::remove_all(snapshotDirectory(holding));
    EXPECT_EQ(manager.newestHoldingChanges(), std::nullopt);
}

// Pruning keeps the newest snapshot and, for each file, the oldest that would put it back;
// it leaves the unreadable ones and links, and deletes nothing through a link.
TEST_F(BackupTest, PruneKeepsTheNewestAndTheOldestSnapshotOfEachFile) {
    writePreferences(true);
    const std::string a = writeStore("Desktop", "a"), b = writeStore("Music", "b");
    const std::string store = home / ".lumifold/backups";
    home.writeFile("outside/file", "not the store's");
    // What each snapshot holds, oldest first: stores A and B, the preferences file, a flag, a
    // pushed value. The 2nd's Apply left its two files alone, so Restore would too; the 6th's
    // push never happened, so it holds no value to put back.
    const std::vector<std::string> holds{"A", "PB", "P", "B", "F", "d", "D", "A", "A"};
    std::vector<std::string> ids;
    const auto snapshotAll = [&, start = now] {
        std::filesystem::remove_all(store);
        ids.clear();
        for (const std::string& what : holds) {
            const auto has = [&](char c) { return what.find(c) != std::string::npos; };
            now = start + std::chrono::seconds(ids.size() + 1);
            BackupManifest lists;
            if (has('F')) lists.fileExtensionBackups = {{home / "Desktop/a.pdf", false}};
            SnapshotRequest request;
            request.finderPlistPath = preferencesPath();
            request.lists = ManifestLists::of(lists);
            if (has('P')) request.finderPlistBytes = readFile(preferencesPath());
            for (const std::string& path : {a, b}) {
                if (has(path == a ? 'A' : 'B'))
                    request.dsStores.push_back({path, readFile(path), std::nullopt});
            }
            if (has('D') || has('d')) {
                PushedPreference& pushed = request.pushedPreferences.emplace(1)[0].record;
                pushed.domain = finder_preferences::kApplicationId;
                if (has('D')) pushed.pushedValue = "<false/>";
            }
            const WrittenSnapshot written = manager.createSnapshot(request);
            ids.push_back(written.header.id);
            if (ids.size() == 2) {
                manager.completeSnapshot(
                    request, written,
                    {.storesNotWritten = {b}, .preferencesNotWritten = true, .pushed = {}});
            }
        }
        home.makeFolder(".lumifold/backups/killed");  // an Apply killed while snapshotting
        home.link(home / "outside", ".lumifold/backups/linked");
        home.link(home / "outside", ".lumifold/backups/" + ids[7] + "/x");
    };
    snapshotAll();
    // A manifest damaged without changing its size or time, so only reading it tells; which
    // snapshots go.
    const struct {
        std::string damaged;  // the snapshot whose manifest is damaged, if any
        std::string what, with;
        std::vector<std::string> removed;
    } cases[] = {
        {"", "", "", {"killed", ids[7], ids[5], ids[1]}},
        {ids[0], "\"id\": \"2", "\"id\": \"X", {"killed", ids[5], ids[1]}},  // the 8th holds A
        {ids[8], "{", "[", {"killed", ids[5], ids[1]}},  // corrupt: the 8th is the newest readable
    };
    for (const auto& [damaged, what, with, removed] : cases) {
        SCOPED_TRACE(damaged);
        snapshotAll();
        std::vector<std::string> kept{"linked"};
        if (!damaged.empty()) {
            const std::string path = snapshotDirectory(damaged) + "/manifest.json";
            const auto time = std::filesystem::last_write_time(path);
            std::string text = manifestText(damaged);
            platform::writeFileAtomically(
                path, asBytes(text.replace(text.find(what), what.size(), with)));
            std::filesystem::last_write_time(path, time);
            kept.push_back(damaged);
        }
        const PruneResult result = manager.prune(1);
        EXPECT_EQ(result.removed, removed);
        std::vector<std::string> names;
        for (const SnapshotProblem& problem : result.kept) names.push_back(problem.name);
        EXPECT_EQ(names, kept);
        EXPECT_EQ(asText(readFile(home / "outside/file")), "not the store's");
    }
}

// A snapshot cut short holds nothing to restore, and no Apply writes after it: it goes.
TEST_F(BackupTest, ASnapshotCutShortLeavesNoFolder) {
    const BackupManifest noLists;
    SnapshotRequest request;
    request.finderPlistPath = writePreferences(true);
    request.finderPlistBytes = readFile(preferencesPath());
    request.dsStores.push_back({"/x/" + std::string(250, 'a'), {}, std::nullopt});  // too long
    request.lists = ManifestLists::of(noLists);
    EXPECT_LUMIFOLD_ERROR_CODE(manager.createSnapshot(request), platform::kPosixDomain,
                               ENAMETOOLONG);
    EXPECT_TRUE(platform::listDirectory(home / ".lumifold/backups", true).empty());
}

TEST_F(BackupTest, ApplyDriftRefusalAndForcedRestoreBringEverythingBack) {
    writePreferences(true);
    const std::string desktop = writeStore("Desktop", "desktop before", 0640);
    const std::string documents = writeStore("Documents", "documents before", 0606);
    const std::string report = home.writeFile("Desktop/report.pdf", "pdf");
    const std::string notes = home.writeFile("Documents/notes.txt", "txt");
    platform::setHasHiddenExtension(notes, true);
    const auto before = liveState();
    const Taken taken = take({desktop, documents}, {}, {{report, false}, {notes, true}});

    // What Apply does.
    writePreferences(false, "icnv");
    writeStore("Desktop", "desktop after", 0644);
    writeStore("Documents", "documents after", 0644);
    platform::setHasHiddenExtension(report, true);
    const BackupManifest manifest = complete(taken);
    EXPECT_FALSE(manager.evaluateRestore(manifest).hasModifications());

    // Someone edits a store after Apply.
    writeStore("Documents", "edited by hand", 0644);
    const auto drifted = liveState();
    EXPECT_LUMIFOLD_ERROR_CODE(manager.restoreSnapshot(manifest, false), BackupManager::kDomain,
                               BackupManager::kDriftWithoutForce);
    EXPECT_EQ(liveState(), drifted);
    EXPECT_EQ(currentHostValue(PreferencesService::kAnyApplication), std::nullopt);

    manager.restoreSnapshot(manifest, true);
    EXPECT_EQ(liveState(), before);  // bytes, permission bits and hidden flags
    EXPECT_EQ(currentHostValue(PreferencesService::kAnyApplication), PlistValue::boolean(true));
    EXPECT_EQ(currentHostValue(finder_preferences::kApplicationId), PlistValue::boolean(true));
}

// A deleted store is recreated without force. Without recorded checksums every rewritten file
// is drift, and a preferences file the snapshot lacked is neither created nor replaced.
TEST_F(BackupTest, EvaluationNamesEachFilesStateAndRestoreActsOnIt) {
    const std::string desktop = writeStore("Desktop", "desktop", 0604);
    const std::string music = writeStore("Music", "music", 0640);
    const BackupManifest manifest = take({desktop, music}).manifest;
    EXPECT_FALSE(platform::fileExists(manifest.finderPlistBackupPath));  // none to copy
    platform::removeFile(music);
    auto summary = manager.evaluateRestore(manifest);
    EXPECT_EQ(summary.items[1].statusDescription, kStatusWillBeRecreated);
    EXPECT_FALSE(summary.hasModifications());
    manager.restoreSnapshot(manifest, false);
    EXPECT_EQ(asText(platform::readFile(music)), "music");
    EXPECT_EQ(platform::permissionBits(music), 0640u);

    writePreferences(true);
    writeStore("Desktop", "changed");
    summary = manager.evaluateRestore(manifest);
    ASSERT_EQ(summary.items.size(), 3u);
    EXPECT_EQ(summary.items[0].statusDescription, kStatusContentChanged);
    EXPECT_EQ(summary.items[1].statusDescription, kStatusDriftDetected);
    EXPECT_TRUE(summary.hasModifications());
    const std::string live = checksumOf(preferencesPath());
    manager.restoreSnapshot(manifest, true);
    EXPECT_EQ(checksumOf(preferencesPath()), live);
    EXPECT_EQ(asText(platform::readFile(desktop)), "desktop");
    EXPECT_EQ(platform::permissionBits(desktop), 0604u);
}

// Whatever went wrong since the snapshot, a restore that cannot put everything back safely
// writes nothing at all, force or not.
TEST_F(BackupTest, DamagedCopiesStopTheWholeRestore) {
    writePreferences(true);
    const std::string desktop = writeStore("Desktop", "one");
    const std::string report = home.writeFile("Desktop/report.pdf", "pdf");
    const BackupManifest manifest =
        take({desktop}, {}, {{report, true}, {home / "Desktop/gone.pdf", true}}).manifest;
    const std::string copy =
        appending(snapshotDirectory(manifest.id), manifest.dsStoreBackups[0].backupRelativePath);
    const std::string relativeCopy = copy.substr(home.path().size() + 1);
    const struct {
        const char* what;
        std::function<void()> breakIt;
    } cases[] = {
        {"store copy missing", [&] { platform::removeFile(copy); }},
        {"store copy altered", [&] { home.writeFile(relativeCopy, "two"); }},
        {"preferences copy missing", [&] { platform::removeFile(manifest.finderPlistBackupPath); }},
        // A link to a file with the copy's very bytes is still no copy of ours.
        {"store copy a link", [&] { home.link(home.writeFile("same", "one"), relativeCopy); }},
        {"store copy a FIFO",
         [&] {
             platform::removeFile(copy);
             ASSERT_EQ(::mkfifo(copy.c_str(), 0600), 0);
         }},
    };
    const std::string snapshot = snapshotDirectory(manifest.id);
    std::filesystem::copy(snapshot, snapshot + ".kept", std::filesystem::copy_options::recursive);
    for (const auto& [what, breakIt] : cases) {
        SCOPED_TRACE(what);
        home.writeFile("elsewhere", "elsewhere");
        writeStore("Desktop", "live");
        home.writeFile("Desktop/report.pdf", "pdf");
        breakIt();
        const auto state = liveState();
        EXPECT_LUMIFOLD_ERROR_CODE(manager.restoreSnapshot(manifest, true), BackupManager::kDomain,
                                   BackupManager::kDamagedCopy);
        EXPECT_EQ(liveState(), state);
        std::filesystem::remove_all(snapshot);
        std::filesystem::copy(snapshot + ".kept", snapshot,
                              std::filesystem::copy_options::recursive);
        platform::removeFile(desktop);
        platform::removeFile(report);
    }
    // Intact, it restores; a flagged file that is gone is passed by.
    writeStore("Desktop", "live");
    manager.restoreSnapshot(manifest, true);
    EXPECT_EQ(asText(platform::readFile(desktop)), "one");
    EXPECT_FALSE(platform::fileExists(home / "Desktop/gone.pdf"));
}

// A manifest is only data: whatever it says, restore reads inside its snapshot and writes
// only to absolute places, and refuses before writing anything otherwise.
TEST_F(BackupTest, UnsafeManifestsAreRefusedBeforeAnythingIsWritten) {
    writePreferences(false);
    const std::string desktop = writeStore("Desktop", "snapshot");
    const std::string report = home.writeFile("Desktop/report.pdf", "pdf");
    const BackupManifest good = take({desktop}, {}, {{report, true}}).manifest;
    writePreferences(true);
    writeStore("Desktop", "live");
    home.writeFile("outside", "outside the store");
    const std::string directory = snapshotDirectory(good.id);

    using Field = std::function<std::string&(BackupManifest&)>;
    const Field copy = [](auto& m) -> auto& { return m.dsStoreBackups[0].backupRelativePath; };
    const Field store = [](auto& m) -> auto& { return m.dsStoreBackups[0].originalPath; };
    const Field plist = [](auto& m) -> auto& { return m.finderPlistOriginalPath; };
    const Field plistCopy = [](auto& m) -> auto& { return m.finderPlistBackupPath; };
    const Field flagged = [](auto& m) -> auto& { return m.fileExtensionBackups[0].filePath; };
    const Field id = [](auto& m) -> auto& { return m.id; };
    const struct {
        std::string offending;
        Field field;
    } cases[] = {
        {"/etc/passwd", copy},
        {"files/../../x", copy},
        {home / "outside", store},  // not a store's name
        {home / "Music/../Desktop/.DS_Store", store},
        {home / "Desktop/../Desktop/report.pdf", flagged},
        {finder_preferences::kFileName, plist},
        {"report.pdf", flagged},
        {directory + "-2/" + finder_preferences::kFileName, plistCopy},
        {"../..", id},
    };
    const auto state = liveState();
    for (const auto& [offending, field] : cases) {
        SCOPED_TRACE(offending);
        BackupManifest manifest = good;
        field(manifest) = offending;
        EXPECT_LUMIFOLD_ERROR_CODE(manager.evaluateRestore(manifest), BackupManager::kDomain,
                                   BackupManager::kUnsafeManifestPath);
        EXPECT_LUMIFOLD_ERROR_CODE(manager.restoreSnapshot(manifest, true), BackupManager::kDomain,
                                   BackupManager::kUnsafeManifestPath);
        EXPECT_EQ(liveState(), state);
        EXPECT_EQ(currentHostValue(PreferencesService::kAnyApplication), std::nullopt);
    }
    // A snapshot of another preferences file (another home, or this one before it moved).
    BackupManifest foreign = good;
    foreign.finderPlistOriginalPath =
        home / (std::string("Old/") + finder_preferences::kRelativePath);
    EXPECT_LUMIFOLD_ERROR_CODE(manager.restoreSnapshot(foreign, true), BackupManager::kDomain,
                               BackupManager::kForeignHome);
    // Only the value Apply pushes may be pushed back.
    BackupManifest pushing = good;
    pushing.pushedPreferences.emplace(1)[0].domain = "com.other.app";
    EXPECT_LUMIFOLD_ERROR_CODE(manager.restoreSnapshot(pushing, true), BackupManager::kDomain,
                               BackupManager::kUnsafeManifestPath);
    // And only a value that reads.
    PushedPreference& unreadable = pushing.pushedPreferences->at(0);
    unreadable.domain = finder_preferences::kApplicationId;
    unreadable.key = finder_preferences::kShowAllExtensionsKey;
    unreadable.originalValueBinary = "not base64";
    unreadable.pushedValue = "<true/>";
    EXPECT_LUMIFOLD_ERROR_CODE(manager.restoreSnapshot(pushing, true), BackupManager::kDomain,
                               BackupManager::kManifestUnreadable);
    EXPECT_EQ(liveState(), state);
    // The untouched manifest restores.
    manager.restoreSnapshot(good, true);
    EXPECT_EQ(asText(platform::readFile(desktop)), "snapshot");
}

}  // namespace
}  // namespace lumifold::testing
