#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/backup/BackupManager.h"
#include "core/platform/PosixError.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/LumifoldAssertions.h"

namespace lumifold::testing {
namespace {

using platform::readFile;

std::vector<std::string> idsOf(const std::vector<BackupManifest>& manifests) {
    std::vector<std::string> ids;
    for (const auto& manifest : manifests) ids.push_back(manifest.id);
    return ids;
}

TEST_F(BackupTest, SnapshotCopiesEveryFileExactlyAndLaterRecordsTheLiveChecksums) {
    writePreferences(true);
    const std::string desktop = writeStore("Desktop", "desktop store", 0640);
    const std::string documents = writeStore("Documents", "documents store", 0604);
    const std::vector<SettingChange> changes{{"com.apple.finder", "K", "a", "b", "Global"}};
    const std::vector<FileExtensionBackupItem> extensions{{"/Users/a/report.pdf", false}};
    // createdAt is read after the copies: let the clock move on in between.
    int calls = 0;
    BackupManager ticking(
        std::nullopt, BackupManagerHost{.now = [&] { return now + std::chrono::seconds(calls++); },
                                        .homeDirectory = home.path(),
                                        .preferencesPath = {}});
    const BackupManifest manifest =
        ticking.createSnapshot(preferencesPath(), {desktop, documents}, changes, extensions);

    EXPECT_EQ(manifest.id, "2025-01-31T14-05-09Z");
    EXPECT_EQ(manifest.createdAt, utc(2025, 1, 31, 14, 5, 10));
    const std::string directory = snapshotDirectory(manifest.id);
    EXPECT_EQ(manifest.finderPlistBackupPath, directory + "/com.apple.finder.plist");
    EXPECT_EQ(manifest.finderPlistOriginalSHA256, checksumOf(preferencesPath()));
    EXPECT_EQ(readFile(manifest.finderPlistBackupPath), readFile(preferencesPath()));
    ASSERT_EQ(manifest.dsStoreBackups.size(), 2u);
    for (const auto& [item, bits] : {std::pair{manifest.dsStoreBackups[0], 0640},
                                     std::pair{manifest.dsStoreBackups[1], 0604}}) {
        EXPECT_EQ(item.originalSHA256, checksumOf(item.originalPath));
        EXPECT_EQ(item.backupRelativePath,
                  "files/" + item.originalSHA256.substr(0, 12) + "_.DS_Store");
        EXPECT_EQ(readFile(appending(directory, item.backupRelativePath)),
                  readFile(item.originalPath));
        EXPECT_EQ(item.posixPermissions, bits);
        EXPECT_EQ(item.postModificationSHA256, std::nullopt);
    }
    EXPECT_EQ(manifest.appliedChanges, changes);
    EXPECT_EQ(manifest.fileExtensionBackups, extensions);
    EXPECT_EQ(manager.loadManifest(manifest.id), manifest);

    // After Apply: the manifest's own items are checked, a missing file keeps its field empty.
    writePreferences(false, "icnv");
    writeStore("Desktop", "after");
    platform::removeFile(documents);
    const BackupManifest recorded =
        manager.recordPostModificationHashes(manifest.id, preferencesPath(), ApplyOutcome{});
    EXPECT_EQ(recorded.finderPlistPostSHA256, checksumOf(preferencesPath()));
    EXPECT_EQ(recorded.dsStoreBackups[0].postModificationSHA256, checksumOf(desktop));
    EXPECT_EQ(recorded.dsStoreBackups[1].postModificationSHA256, std::nullopt);
    EXPECT_EQ(manager.loadManifest(manifest.id), recorded);
    EXPECT_EQ(manifestText(manifest.id).find("null"), std::string::npos);  // absent, not null
}

TEST_F(BackupTest, MissingFilesAreSkippedAndEqualStoresShareOnePrivateCopy) {
    const std::string desktop = writeStore("Desktop", "same bytes", 0666);
    const std::string music = writeStore("Music", "same bytes");
    const BackupManifest manifest = manager.createSnapshot(
        preferencesPath(), {desktop, home / "Movies/.DS_Store", music}, {}, {});
    // The missing preferences file is recorded with an empty checksum but not copied.
    EXPECT_EQ(manifest.finderPlistOriginalSHA256, "");
    EXPECT_FALSE(platform::fileExists(manifest.finderPlistBackupPath));
    ASSERT_EQ(manifest.dsStoreBackups.size(), 2u);
    EXPECT_EQ(manifest.dsStoreBackups[1].originalPath, music);
    EXPECT_EQ(manifest.dsStoreBackups[0].backupRelativePath,
              manifest.dsStoreBackups[1].backupRelativePath);
    const std::string directory = snapshotDirectory(manifest.id);
    EXPECT_EQ(platform::listDirectory(directory + "/files").size(), 1u);
    // Private, whatever the originals' bits (which stay what restore puts back).
    for (const std::string& folder :
         {home / ".lumifold", home / ".lumifold/backups", directory, directory + "/files"}) {
        EXPECT_EQ(platform::permissionBits(folder).value() & 0077u, 0u) << folder;
    }
    for (const std::string& file :
         {directory + "/manifest.json",
          appending(directory, manifest.dsStoreBackups[0].backupRelativePath)}) {
        EXPECT_EQ(platform::permissionBits(file), 0600u) << file;
    }
    EXPECT_EQ(manifest.dsStoreBackups[0].posixPermissions, 0666);
}

TEST_F(BackupTest, SnapshotsOfOneSecondAreNumberedAndListedNewestFirst) {
    writePreferences(true);
    const std::string store = writeStore("Desktop", "first");
    const BackupManifest first = manager.createSnapshot(preferencesPath(), {store}, {}, {});
    writePreferences(false);
    writeStore("Desktop", "second");
    const BackupManifest second = manager.createSnapshot(preferencesPath(), {store}, {}, {});
    EXPECT_EQ(second.id, "2025-01-31T14-05-09Z-2");
    EXPECT_EQ(manager.loadManifest(second.id), second);
    // The first snapshot's copies are its own, untouched by the second.
    EXPECT_EQ(checksumOf(first.finderPlistBackupPath), first.finderPlistOriginalSHA256);
    EXPECT_EQ(asText(readFile(appending(snapshotDirectory(first.id),
                                        first.dsStoreBackups[0].backupRelativePath))),
              "first");

    now = utc(2025, 1, 31, 10, 0, 0);
    manager.createSnapshot(preferencesPath(), {}, {}, {});
    now = utc(2025, 1, 31, 15, 0, 0);
    for (int i = 0; i < 10; ++i) manager.createSnapshot(preferencesPath(), {}, {}, {});
    // The directory lists "-10" before "-2"; the later snapshot must still lead.
    std::vector<std::string> expected;
    for (int n = 10; n >= 2; --n) expected.push_back("2025-01-31T15-00-00Z-" + std::to_string(n));
    expected.insert(expected.end(),
                    {"2025-01-31T15-00-00Z", second.id, first.id, "2025-01-31T10-00-00Z"});
    EXPECT_EQ(idsOf(manager.listManifests()), expected);
}

TEST_F(BackupTest, ListingSkipsWhatIsNotASnapshotAndLoadingNamesOnlyItsOwnFolder) {
    EXPECT_TRUE(manager.listManifests().empty());  // no store yet
    const BackupManifest kept = manager.createSnapshot(preferencesPath(), {}, {}, {});
    const std::string text = manifestText(kept.id);
    home.writeFile(".lumifold/backups/stray-file", "x");
    home.makeFolder(".lumifold/backups/stray-folder");
    home.writeFile(".lumifold/backups/broken/manifest.json", "{not json");
    home.writeFile(".lumifold/backups/garbled/manifest.json", "[]");
    // A manifest copied into another folder would restore under a false name.
    home.writeFile(".lumifold/backups/copied/manifest.json", text);
    // A hidden folder is listed when its manifest names it.
    std::string hidden = text;
    const std::string id = "\"id\": \"" + kept.id + "\"";
    hidden.replace(hidden.find(id), id.size(), "\"id\": \".hidden\"");
    home.writeFile(".lumifold/backups/.hidden/manifest.json", hidden);

    EXPECT_EQ(idsOf(manager.listManifests()), (std::vector<std::string>{kept.id, ".hidden"}));
    for (const std::string& name :
         {std::string("copied"), std::string("garbled"), "../backups/" + kept.id}) {
        EXPECT_EQ(manager.loadManifest(name), std::nullopt) << name;
    }
    std::vector<std::string> problems;
    for (const auto& problem : manager.snapshotProblems()) {
        problems.push_back(problem.name + (problem.incomplete ? " (incomplete)" : ""));
    }
    EXPECT_EQ(problems, (std::vector<std::string>{"broken", "copied", "garbled",
                                                  "stray-folder (incomplete)"}));
    EXPECT_LUMIFOLD_ERROR(
        manager.recordPostModificationHashes("garbled", preferencesPath(), ApplyOutcome{}),
        kBackupManagerDomain, kBackupManifestNotFound, "Manifest not found");
    EXPECT_EQ(manifestText("garbled"), "[]");
}

TEST_F(BackupTest, AStoreThatCannotBeReadFailsTheSnapshotBeforeAnyFolderIsMade) {
    const std::string desktop = writeStore("Desktop", "readable");
    home.makeFolder("Documents/.DS_Store");
    EXPECT_LUMIFOLD_ERROR_CODE(
        manager.createSnapshot(preferencesPath(), {desktop, home / "Documents/.DS_Store"}, {}, {}),
        platform::kPosixDomain, EISDIR);
    EXPECT_FALSE(platform::fileExists(home / ".lumifold"));
}

}  // namespace
}  // namespace lumifold::testing
